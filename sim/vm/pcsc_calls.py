"""Runs in a guest's agent: the PC/SC client library's calls for a test on
the machine, which sends them as JSON (see RemoteScard in tests/e2e)."""

from smartcard import scard as _scard


def scard(name, *args):
    """smartcard.scard.<name>(*args). JSON turned the reader states of
    SCardGetStatusChange into lists; pyscard takes tuples."""
    if name == "SCardGetStatusChange":
        context, timeout, states = args
        args = (context, timeout, [tuple(state) for state in states])
    return getattr(_scard, name)(*args)
