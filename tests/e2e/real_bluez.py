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

import stack
from driver_stack import PcscClient

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(REPO, "sim", "vm"))
import bed as vm  # noqa: E402

ENABLED = os.environ.get("PEMRA_REAL_BLUEZ") == "1"
PCSCD_SOCKET = "/run/pcscd/pcscd.comm"
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


class RealBluez:
    """The bed with its reader paired to the host and pcscd running there."""

    def __init__(self, driver):
        self.driver = driver
        self.bed = vm.VmBed()
        self.bed.start()
        self.host = self.bed.host
        self.reader = self.bed.reader
        self.pcscd = None
        self.started = time.monotonic()
        self.figures = {}

    def close(self):
        self.bed.close()

    def start_pcscd(self):
        """pcscd as a user's machine runs it; returns once its socket is
        there (clients then wait in it until pcscd serves them)."""
        conf = self.host.install_reader_conf(stack.READER_NAME, self.driver)
        self.pcscd = self.host.spawn(["pcscd", "--foreground", "--debug", "-c", conf], log="pcscd.log")
        self.host.wait_for(f"test -S {PCSCD_SOCKET}")

    def stop_pcscd(self, sig=signal.SIGINT):
        """Its exit status."""
        pid, self.pcscd = self.pcscd, None
        return self.host.kill(pid, sig, timeout=60) if pid else None

    def pcscd_log(self):
        return self.host.log("pcscd.log")


_shared = None


def shared_bed():
    global _shared
    if _shared is None:
        _shared = RealBluez(os.environ["PEMRA_DRIVER"])
        atexit.register(_shared.close)
    return _shared


def skip_reason():
    if not ENABLED:
        return "the real-BlueZ bed runs in e2e_real_bluez (PEMRA_REAL_BLUEZ=1)"
    reason = vm.skip_reason()
    return f"no real-BlueZ bed here: {reason}" if reason else None


class RealBluezTestCase(PcscClient, unittest.TestCase):
    # Waits on the emulated radio, with three guests on two busy cores.
    CARD_TIMEOUT = 60

    @classmethod
    def setUpClass(cls):
        reason = skip_reason()
        if reason:
            raise unittest.SkipTest(reason)
        cls.real = shared_bed()
        cls.host = cls.real.host
        cls.scard = RemoteScard(cls.host)
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
        return outcome
