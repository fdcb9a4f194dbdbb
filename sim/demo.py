"""Shows the driver at work in a private pcscd, as a PC/SC application sees it.

    demo.py DRIVER [PEMRA_SIM]

With the stand-in's binary as second argument, a private bus with pemra_sim
(one connected reader with a card) becomes the driver's system bus.
"""

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


def start_sim(sim_binary, workdir):
    """The private bus and pemra_sim on it, or (None, None) without a binary."""
    if not sim_binary:
        return None, None
    bus = stack.PrivateBus(workdir).start()
    try:
        sim = stack.PemraSim(sim_binary, bus, workdir).start()
    except Exception:
        bus.stop()
        raise
    print(f"pemra_sim started (pid {sim.process.pid}) on {bus.address}")
    return bus, sim


def main(driver, sim_binary=None):
    workdir = stack.make_workdir("pemra-demo-")
    bus, sim = start_sim(sim_binary, workdir)
    pcscd = stack.PrivatePcscd(driver, workdir, env=bus.environ() if bus else None).start()
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
        for part in (sim, bus):
            if part:
                part.stop()
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main(*sys.argv[1:3])
