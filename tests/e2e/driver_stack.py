"""The whole stack for one test class: a private bus, pemra_sim serving
"org.bluez" on it, and Debian's pcscd loading the built driver with that bus
as its system bus."""

import atexit
import contextlib
import os
import shutil
import subprocess
import time
import unittest

import dbus

from smartcard import scard

import simctl
import stack


def wait_until(predicate, timeout=10, what="a condition"):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.05)
    raise AssertionError(f"timed out waiting for {what}")


GET_CHALLENGE = [0x00, 0x84, 0x00, 0x00, 0x08]


class PcscClient:
    """A test's PC/SC calls through its bed's client library (self.scard),
    with self.context and self.reader; CARD_TIMEOUT bounds the waits for the
    card, which the real radio makes longer."""
    CARD_TIMEOUT = 10

    def wait_for_card(self):
        wait_until(self.card_present, timeout=self.CARD_TIMEOUT, what="the card")

    def wait_for_no_card(self):
        wait_until(lambda: not self.card_present(), timeout=self.CARD_TIMEOUT, what="the card to go")

    def connect(self):
        """A connection held by the test, card events aside: its transmit."""
        scard = self.scard
        rc, card, protocol = scard.SCardConnect(self.context, self.reader, scard.SCARD_SHARE_SHARED,
                                                scard.SCARD_PROTOCOL_T0 | scard.SCARD_PROTOCOL_T1)
        self.assertEqual(rc, 0, scard.SCardGetErrorMessage(rc))
        self.addCleanup(scard.SCardDisconnect, card, scard.SCARD_LEAVE_CARD)
        return lambda apdu: scard.SCardTransmit(card, protocol, apdu)

    def transmit(self, apdu):
        """One APDU on a connection of its own."""
        scard = self.scard
        rc, card, protocol = scard.SCardConnect(self.context, self.reader, scard.SCARD_SHARE_SHARED,
                                                scard.SCARD_PROTOCOL_T0 | scard.SCARD_PROTOCOL_T1)
        self.assertEqual(rc, 0, scard.SCardGetErrorMessage(rc))
        try:
            return scard.SCardTransmit(card, protocol, apdu)
        finally:
            scard.SCardDisconnect(card, scard.SCARD_LEAVE_CARD)

    def apdu_works(self):
        """A new connection and a GET CHALLENGE on it both succeed."""
        scard = self.scard
        rc, card, protocol = scard.SCardConnect(self.context, self.reader, scard.SCARD_SHARE_SHARED,
                                                scard.SCARD_PROTOCOL_T0 | scard.SCARD_PROTOCOL_T1)
        if rc != 0:
            return False
        try:
            return scard.SCardTransmit(card, protocol, GET_CHALLENGE)[0] == 0
        finally:
            scard.SCardDisconnect(card, scard.SCARD_LEAVE_CARD)

    def on_direct_connection(self, call):
        """call(card) on a connection to the reader that needs no card."""
        scard = self.scard
        rc, card, _ = scard.SCardConnect(self.context, self.reader, scard.SCARD_SHARE_DIRECT, 0)
        self.assertEqual(rc, 0, scard.SCardGetErrorMessage(rc))
        try:
            return call(card)
        finally:
            scard.SCardDisconnect(card, scard.SCARD_LEAVE_CARD)


# The PC/SC client library takes the daemon's socket path once per process:
# every test class of a process runs its pcscd on this one path.
PCSCD_WORKDIR = stack.make_workdir("pemra-e2e-pcscd-")
atexit.register(shutil.rmtree, PCSCD_WORKDIR, ignore_errors=True)


class DriverStackTestCase(PcscClient, unittest.TestCase):
    # What a scenario that runs on either bed uses (real_bluez.py has the
    # other): the PC/SC client library and the reader's address.
    scard = scard
    reader_address = "E1:A5:00:00:00:01"
    sim_args = ()
    bus_services = {}  # see stack.PrivateBus
    pcscd_hostname = None  # the machine's own
    # False: pcscd starts the driver before the bus and BlueZ exist; the test
    # brings them up with start_bus_and_bluez().
    bus_at_start = True

    @classmethod
    def setUpClass(cls):
        # Class cleanups run even when this set-up fails half-way, so that no
        # daemon outlives the test; they run in reverse order, this one last.
        cls.addClassCleanup(cls.assert_no_daemon_left)
        cls.workdir = stack.make_workdir("pemra-e2e-")
        cls.addClassCleanup(shutil.rmtree, cls.workdir, ignore_errors=True)
        cls.bus = stack.PrivateBus(cls.workdir, cls.bus_services)
        cls.addClassCleanup(cls.bus.stop)
        cls.sim = stack.PemraSim(os.environ["PEMRA_SIM"], cls.bus, cls.workdir, cls.sim_args)
        cls.addClassCleanup(cls.sim.stop)
        cls.control = None
        cls.addClassCleanup(cls.close_control)
        if cls.bus_at_start:
            cls.start_bus_and_bluez()
            cls.before_pcscd()
        cls.pcscd = stack.PrivatePcscd(os.environ["PEMRA_DRIVER"], PCSCD_WORKDIR, env=cls.bus.environ(),
                                       hostname=cls.pcscd_hostname).start()
        # Whichever pcscd runs by then: a test may have started another.
        cls.addClassCleanup(lambda: cls.pcscd.stop())
        rc, cls.context = scard.SCardEstablishContext(scard.SCARD_SCOPE_USER)
        assert rc == 0
        cls.addClassCleanup(scard.SCardReleaseContext, cls.context)
        cls.reader = stack.wait_for_reader(cls.context)

    @classmethod
    def restart_pcscd(cls):
        """A new pcscd in place of the one that ended (or is stopped now): a
        new client of BlueZ on the bus, with a new context for the test."""
        cls.pcscd.stop()
        cls.pcscd = stack.PrivatePcscd(os.environ["PEMRA_DRIVER"], PCSCD_WORKDIR, env=cls.bus.environ(),
                                       hostname=cls.pcscd_hostname).start()
        rc, cls.context = scard.SCardEstablishContext(scard.SCARD_SCOPE_USER)
        assert rc == 0
        cls.reader = stack.wait_for_reader(cls.context)

    @classmethod
    def assert_no_daemon_left(cls):
        left = stack.still_running()
        stack.kill_all()
        if left:
            raise AssertionError(f"daemons outlived {cls.__name__}: {left}")

    @classmethod
    def close_control(cls):
        if cls.control:
            cls.control.close()

    @classmethod
    def start_bus_and_bluez(cls):
        cls.bus.start()
        cls.sim.start()
        cls.control = simctl.SimControl(cls.bus.address)

    @classmethod
    def before_pcscd(cls):
        """Runs once the stand-in serves, before pcscd starts."""

    @classmethod
    def card_present(cls):
        rc, states = scard.SCardGetStatusChange(cls.context, 0, [(cls.reader, scard.SCARD_STATE_UNAWARE)])
        return rc == 0 and bool(states[0][1] & scard.SCARD_STATE_PRESENT)

    def run(self, result=None):
        outcome = super().run(result)
        if result is not None and not result.wasSuccessful():
            print("---- pcscd log ----\n" + self.pcscd.log()[-20000:])
            print("---- pemra_sim log ----\n" + self.sim.log()[-5000:])
        return outcome

    # What the scenarios that run on either bed do to it (real_bluez.py has
    # the real bluetoothd's).
    def drop_link(self):
        self.control.set_connected(False)

    def restore_link(self):
        self.control.set_connected(True)

    @classmethod
    def restart_bluez(cls):
        """BlueZ leaves the bus and comes back, as a restarted bluetoothd:
        every link it held is gone and it knows nothing of the driver."""
        cls.close_control()
        cls.control = None
        cls.sim.stop()
        cls.sim.start()
        cls.control = simctl.SimControl(cls.bus.address)

    @contextlib.contextmanager
    def another_program_listening(self):
        """Another client of BlueZ holds notification sessions of its own on
        characteristic 4 while the block runs, and leaves the bus after it."""
        other = dbus.bus.BusConnection(self.bus.address)
        try:
            dbus.Interface(other.get_object(simctl.BLUEZ, simctl.DEFAULT_READER + "/service0010/char001a"),
                           "org.bluez.GattCharacteristic1").StartNotify()
            yield
        finally:
            other.close()

    def run_pemra_info(self, *args):
        """pemra_info's exit status, standard output and standard error."""
        result = subprocess.run([os.environ["PEMRA_INFO"], *args], stdin=subprocess.DEVNULL, capture_output=True,
                                timeout=60)
        return result.returncode, result.stdout.decode(), result.stderr.decode()

    def driver_log(self):
        """What pcscd and the driver printed, without pcscd's own debug lines."""
        return "\n".join(line for line in self.pcscd.log().splitlines() if not line[:8].isdigit())

    def count_in_driver_log(self, text):
        return self.driver_log().count(text)
