"""Shows the driver at work in a private pcscd, as a PC/SC application sees it."""

import shutil
import sys

from smartcard import scard

import stack


def card_state(context, reader):
    rc, states = scard.SCardGetStatusChange(context, 0, [(reader, scard.SCARD_STATE_UNAWARE)])
    if rc != 0:
        return "unknown"
    state = states[0][1]
    return "card present" if state & scard.SCARD_STATE_PRESENT else "no card"


def main(driver):
    workdir = stack.make_workdir("pemra-demo-")
    pcscd = stack.PrivatePcscd(driver, workdir).start()
    print(f"pcscd started (pid {pcscd.process.pid}) on {pcscd.socket_path}")
    try:
        _, context = scard.SCardEstablishContext(scard.SCARD_SCOPE_USER)
        reader = stack.wait_for_reader(context)
        print(f"reader listed: {reader}")
        print(f"state: {card_state(context, reader)}")
        scard.SCardReleaseContext(context)
    finally:
        pcscd.stop()
        print("pcscd stopped")
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main(sys.argv[1])
