"""Shows the driver at work in a private pcscd, as a PC/SC application sees it.

    demo.py DRIVER [PEMRA_SIM]

With the stand-in's binary as second argument, a private bus with pemra_sim
(one connected reader with a card) becomes the driver's system bus.
"""

import shutil
import sys
import time

from smartcard import scard

import stack

VENDOR_ATTR_IEEE = 0x7B020
DEMO_APDUS = [
    ("GET CHALLENGE", [0x00, 0x84, 0x00, 0x00, 0x08]),
    ("ECHO", [0x80, 0xEE, 0x00, 0x00, 0x04, 0xDE, 0xAD, 0xBE, 0xEF]),
    ("SELECT MF", [0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00]),
]


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


def wait_for_card(context, reader, timeout=10):
    """Shows the wait for the reader's set-up; True once a card is present."""
    state = scard.SCARD_STATE_UNAWARE
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        rc, states = scard.SCardGetStatusChange(context, 500, [(reader, state)])
        if rc == 0:
            state = states[0][1]
            if state & scard.SCARD_STATE_PRESENT:
                return True
        print("  waiting for the reader's set-up ...")
    return False


def show_card_session(context, reader):
    rc, card, protocol = scard.SCardConnect(context, reader, scard.SCARD_SHARE_SHARED,
                                            scard.SCARD_PROTOCOL_T0 | scard.SCARD_PROTOCOL_T1)
    if rc != 0:
        print(f"connect failed: {scard.SCardGetErrorMessage(rc)}")
        return
    _, _, _, _, atr = scard.SCardStatus(card)
    print(f"ATR: {bytes(atr).hex(' ')}")
    for name, apdu in DEMO_APDUS:
        rc, response = scard.SCardTransmit(card, protocol, apdu)
        answer = bytes(response).hex(" ") if rc == 0 else scard.SCardGetErrorMessage(rc)
        print(f"{name}: {bytes(apdu).hex(' ')} -> {answer}")
    rc, address = scard.SCardGetAttrib(card, VENDOR_ATTR_IEEE)
    if rc == 0:
        print(f"reader address: {bytes(address).rstrip(bytes(1)).decode()}")
    scard.SCardDisconnect(card, scard.SCARD_LEAVE_CARD)


def main(driver, sim_binary=None):
    workdir = stack.make_workdir("pemra-demo-")
    bus, sim = start_sim(sim_binary, workdir)
    pcscd = stack.PrivatePcscd(driver, workdir, env=bus.environ() if bus else None).start()
    print(f"pcscd started (pid {pcscd.process.pid}) on {pcscd.socket_path}")
    try:
        _, context = scard.SCardEstablishContext(scard.SCARD_SCOPE_USER)
        reader = stack.wait_for_reader(context)
        print(f"reader listed: {reader}")
        if sim and wait_for_card(context, reader):
            print("state: card present")
            show_card_session(context, reader)
        else:
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
