"""PC/SC calls that the harness makes in the host guest (host.call("pcsc_calls",
...)) where pyscard wants what JSON cannot carry (reader states as tuples),
and timed where the time of the call itself counts. Each call has a context
of its own."""

import time

from smartcard import scard


class PcscError(Exception):
    pass


def _context():
    rc, context = scard.SCardEstablishContext(scard.SCARD_SCOPE_USER)
    if rc != scard.SCARD_S_SUCCESS:
        raise PcscError(f"SCardEstablishContext: {scard.SCardGetErrorMessage(rc)}")
    return context


def wait_for_card(reader, present, timeout):
    """Waits with SCardGetStatusChange until the reader reports a card
    present (or, with present false, none); returns the seconds it took."""
    wanted = scard.SCARD_STATE_PRESENT if present else scard.SCARD_STATE_EMPTY
    context = _context()
    started = time.monotonic()
    try:
        state = scard.SCARD_STATE_UNAWARE
        while True:
            left = timeout - (time.monotonic() - started)
            if left <= 0:
                raise PcscError(f"{reader}: no {'card' if present else 'removal'} within {timeout} s "
                                f"(state {state:#x})")
            rc, states = scard.SCardGetStatusChange(context, int(left * 1000), [(reader, state)])
            if rc == scard.SCARD_E_TIMEOUT:
                continue
            if rc != scard.SCARD_S_SUCCESS:
                raise PcscError(f"SCardGetStatusChange: {scard.SCardGetErrorMessage(rc)}")
            state = states[0][1] & ~scard.SCARD_STATE_CHANGED
            if state & wanted:
                return time.monotonic() - started
    finally:
        scard.SCardReleaseContext(context)


def transmit(reader, apdus):
    """Sends the APDUs on one connection; returns each response with the
    seconds that its SCardTransmit took."""
    context = _context()
    try:
        rc, card, protocol = scard.SCardConnect(context, reader, scard.SCARD_SHARE_SHARED,
                                                scard.SCARD_PROTOCOL_T0 | scard.SCARD_PROTOCOL_T1)
        if rc != scard.SCARD_S_SUCCESS:
            raise PcscError(f"SCardConnect: {scard.SCardGetErrorMessage(rc)}")
        try:
            answers = []
            for apdu in apdus:
                started = time.monotonic()
                rc, response = scard.SCardTransmit(card, protocol, apdu)
                if rc != scard.SCARD_S_SUCCESS:
                    raise PcscError(f"SCardTransmit: {scard.SCardGetErrorMessage(rc)}")
                answers.append([response, time.monotonic() - started])
            return answers
        finally:
            scard.SCardDisconnect(card, scard.SCARD_LEAVE_CARD)
    finally:
        scard.SCardReleaseContext(context)
