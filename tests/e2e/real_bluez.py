"""The driver stack on the real Linux Bluetooth stack, in the VM bed
(sim/vm): the host guest runs its own bluetoothd and Debian's pcscd with the
freshly built driver, the reader guest its own bluetoothd with pemra_sim as a
Pemra reader on it, paired by the README's steps. RealBluezTestCase gives a
test what DriverStackTestCase gives it on the stand-in (scard, control,
context, reader, card_present, restart_pcscd, driver_log), so that one
scenario runs on either bed.

One bed serves every class of a process: it boots at the first class and
stops when the process ends. The classes run only where PEMRA_REAL_BLUEZ=1
(the e2e_real_bluez test); elsewhere, and where QEMU or the kernel package
cannot be had, they are skipped with one line saying why."""

import atexit
import contextlib
import os
import signal
import sys
import time
import unittest

from smartcard import scard as local_scard

import simctl
import stack
from driver_stack import PcscClient

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(REPO, "sim", "vm"))
import bed as vm  # noqa: E402
import paired_bed  # noqa: E402

ENABLED = os.environ.get("PEMRA_REAL_BLUEZ") == "1"
# The reader's characteristic 4, where its replies come.
REPLY_FRAGMENTS_UUID = "00000004-f0aa-4f13-a557-6b3f0e916803"


class RemoteScard:
    """smartcard.scard in a guest: its calls run in the guest's agent, its
    constants are the local module's. Results come back as lists where
    pyscard gives tuples."""

    def __init__(self, guest):
        self._guest = guest

    def __getattr__(self, name):
        value = getattr(local_scard, name)
        if not callable(value):
            return value
        return lambda *args: self._guest.call("pcsc_calls", "scard", name, *args, timeout=300)


_shared = None
_start_failure = None


def shared_bed():
    """The one bed of this process, booted and paired at the first call; a
    bed that failed to start fails every class at once."""
    global _shared, _start_failure
    if _start_failure:
        raise RuntimeError(f"the VM bed did not start: {_start_failure}")
    if _shared is None:
        build = os.path.dirname(os.path.dirname(os.environ["PEMRA_DRIVER"]))
        _shared = paired_bed.PairedBed(build)
        atexit.register(_shared.close)
        try:
            _shared.start()
        except Exception as error:
            _start_failure = error
            print(_shared.bed.report()[-30000:])
            raise
    return _shared


def kernel_fault():
    """Where a guest's kernel of this process's bed reported a fault, or None."""
    return _shared.bed.kernel_fault() if _shared is not None else None


def discard_bed():
    """Stops this process's bed; the next class boots and pairs a fresh one."""
    global _shared
    if _shared is not None:
        _shared.close()
        _shared = None


class RemoteSimControl:
    """The reader's control interface in the reader guest (sim/simctl.py's
    SimControl there): the same methods, log entries as SimControl gives
    them."""

    def __init__(self, guest):
        self._guest = guest

    def __getattr__(self, name):
        return lambda *args: self._guest.sim_control(name, *args)

    def log(self, event=None, source=None):
        entries = [simctl.LogEntry((entry[0], entry[1], entry[2], bytes.fromhex(entry[3])))
                   for entry in self._guest.sim_control("log")]
        return [entry for entry in entries
                if (event is None or entry.event == event) and (source is None or entry.source == source)]


def skip_reason():
    if not ENABLED:
        return "the real-BlueZ bed runs in e2e_real_bluez (PEMRA_REAL_BLUEZ=1)"
    reason = vm.skip_reason()
    return f"no real-BlueZ bed here: {reason}" if reason else None


class RealBluezTestCase(PcscClient, unittest.TestCase):
    # Waits on the emulated radio, with three guests on two busy cores, and
    # room for the driver to connect a stuck reader anew a few times (the
    # race between bluetoothd and the kernel that it recovers from).
    CARD_TIMEOUT = 90

    @classmethod
    def setUpClass(cls):
        reason = skip_reason()
        if reason:
            raise unittest.SkipTest(reason)
        cls.real = shared_bed()
        cls.host = cls.real.host
        cls.reader_address = cls.real.reader_address
        cls.scard = RemoteScard(cls.host)
        cls.control = RemoteSimControl(cls.real.reader)
        if cls.real.pcscd is None:
            cls.real.start_pcscd()
        cls.open_context()

    @classmethod
    def open_context(cls):
        rc, cls.context = cls.scard.SCardEstablishContext(cls.scard.SCARD_SCOPE_USER)
        assert rc == 0, hex(rc & 0xFFFFFFFF)
        cls.reader = vm.wait_until(cls.pemra_reader, cls.CARD_TIMEOUT, "the reader listed by pcscd")

    @classmethod
    def pemra_reader(cls):
        rc, readers = cls.scard.SCardListReaders(cls.context, [])
        found = [reader for reader in (readers or []) if reader.startswith(stack.READER_NAME)] if rc == 0 else []
        return found[0] if found else None

    @classmethod
    def card_present(cls):
        rc, states = cls.scard.SCardGetStatusChange(cls.context, 0, [(cls.reader, cls.scard.SCARD_STATE_UNAWARE)])
        return rc == 0 and bool(states[0][1] & cls.scard.SCARD_STATE_PRESENT)

    @classmethod
    def restart_pcscd(cls):
        cls.real.stop_pcscd()
        cls.real.start_pcscd()
        cls.open_context()

    def setUp(self):
        # A guest whose kernel failed has lost its bluetoothd: every case
        # would wait for the card in vain (run_real_bluez.py says more).
        fault = kernel_fault()
        if fault:
            self.fail(fault)

    # What the scenarios that run on either bed do to it.
    def drop_link(self):
        self.control.set_connected(False)

    def restore_link(self):
        self.control.set_connected(True)

    @classmethod
    def restart_bluez(cls):
        cls.host.restart_bluetoothd()

    @contextlib.contextmanager
    def another_program_listening(self):
        """bluetoothctl on the host, subscribed to characteristic 4 with
        `notify on` while the block runs, then quitting."""
        self.host.call("bluetoothctl_pty", "start_listening", REPLY_FRAGMENTS_UUID, timeout=300)
        try:
            yield
        finally:
            self.host.call("bluetoothctl_pty", "stop_listening", timeout=120)

    def run_pemra_info(self, *args):
        """pemra_info in the host guest: exit status, output, errors."""
        result = self.host.run([os.environ["PEMRA_INFO"], *args], check=False)
        return result.status, result.stdout, result.stderr

    def driver_log(self):
        return "\n".join(line for line in self.real.pcscd_log().splitlines() if not line[:8].isdigit())

    def run(self, result=None):
        outcome = super().run(result)
        if result is not None and not result.wasSuccessful() and _shared is not None:
            print(_shared.bed.report()[-30000:])
            print("---- pcscd log ----\n" + _shared.pcscd_log()[-20000:])
        return outcome
