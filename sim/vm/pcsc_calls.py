"""PC/SC calls that the harness makes in the host guest (host.call("pcsc_calls",
...)): any of pyscard's (scard, for RemoteScard in tests/e2e), and some
timed where the time of the call itself counts. The timed ones have a
context of their own."""

import time

from smartcard import scard as _scard


class PcscError(Exception):
    pass


def scard(name, *args):
    """smartcard.scard.<name>(*args). JSON turned the reader states of
    SCardGetStatusChange into lists; pyscard takes tuples."""
    if name == "SCardGetStatusChange":
        context, timeout, states = args
        args = (context, timeout, [tuple(state) for state in states])
    return getattr(_scard, name)(*args)


def _context():
    rc, context = _scard.SCardEstablishContext(_scard.SCARD_SCOPE_USER)
    if rc != _scard.SCARD_S_SUCCESS:
        raise PcscError(f"SCardEstablishContext: {_scard.SCardGetErrorMessage(rc)}")
    return context


def wait_for_card(reader, present, timeout):
    """Waits with SCardGetStatusChange until the reader reports a card
    present (or, with present false, none); returns the seconds it took."""
    wanted = _scard.SCARD_STATE_PRESENT if present else _scard.SCARD_STATE_EMPTY
    context = _context()
    started = time.monotonic()
    try:
        state = _scard.SCARD_STATE_UNAWARE
        while True:
            left = timeout - (time.monotonic() - started)
            if left <= 0:
                raise PcscError(f"{reader}: no {'card' if present else 'removal'} within {timeout} s "
                                f"(state {state:#x})")
            rc, states = _scard.SCardGetStatusChange(context, int(left * 1000), [(reader, state)])
            if rc == _scard.SCARD_E_TIMEOUT:
                continue
            if rc != _scard.SCARD_S_SUCCESS:
                raise PcscError(f"SCardGetStatusChange: {_scard.SCardGetErrorMessage(rc)}")
            state = states[0][1] & ~_scard.SCARD_STATE_CHANGED
            if state & wanted:
                return time.monotonic() - started
    finally:
        _scard.SCardReleaseContext(context)


def transmit(reader, apdus):
    """Sends the APDUs on one connection; returns each response with the
    seconds that its SCardTransmit took."""
    context = _context()
    try:
        rc, card, protocol = _scard.SCardConnect(context, reader, _scard.SCARD_SHARE_SHARED,
                                                _scard.SCARD_PROTOCOL_T0 | _scard.SCARD_PROTOCOL_T1)
        if rc != _scard.SCARD_S_SUCCESS:
            raise PcscError(f"SCardConnect: {_scard.SCardGetErrorMessage(rc)}")
        try:
            answers = []
            for apdu in apdus:
                started = time.monotonic()
                rc, response = _scard.SCardTransmit(card, protocol, apdu)
                if rc != _scard.SCARD_S_SUCCESS:
                    raise PcscError(f"SCardTransmit: {_scard.SCardGetErrorMessage(rc)}")
                answers.append([response, time.monotonic() - started])
            return answers
        finally:
            _scard.SCardDisconnect(card, _scard.SCARD_LEAVE_CARD)
    finally:
        _scard.SCardReleaseContext(context)
