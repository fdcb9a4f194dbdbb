"""What a misbehaving reader, a large reply and a lost bus can still do to a
PC/SC application: every wait ends, every failure is reported as one, and
the reader works again by itself. Each case prints the figure it is about."""

import signal
import threading
import time
import unittest

import dbus
from smartcard import scard

import simctl
import stack
from driver_stack import DriverStackTestCase, wait_until
from test_reader_session import GET_CHALLENGE, SCARD_E_NOT_TRANSACTED, SessionTestCase, echo

SCARD_S_SUCCESS = 0


def report(figure):
    print(f"\n  figure: {figure}", flush=True)


def timed(call, *args):
    started = time.monotonic()
    result = call(*args)
    return result, time.monotonic() - started


class NotificationStorm(SessionTestCase):
    """After one bad reply the reader keeps notifying every 100 ms for 30 s:
    its 300 one-byte fragments of a reply that announced too many."""

    def test_apdus_return_promptly_during_the_storm_and_work_once_it_ends(self):
        self.wait_for_card()
        transmit = self.connect()
        self.control.set_fault("fragment-interval-ms", 100)
        self.control.set_fault("header-too-many-fragments", 1)
        storm_started = time.monotonic()
        rc, _ = transmit(GET_CHALLENGE)
        self.assertEqual(rc & 0xFFFFFFFF, SCARD_E_NOT_TRANSACTED)
        waits = []
        while time.monotonic() - storm_started < 20:
            (rc, _), waited = timed(transmit, GET_CHALLENGE)
            waits.append(waited)
            self.assertEqual(rc & 0xFFFFFFFF, SCARD_E_NOT_TRANSACTED)
        report(f"APDUs during the storm: {len(waits)}, longest wait {max(waits):.2f} s")
        # Without a bound the first of them would wait for the whole storm.
        self.assertLess(max(waits), 5)
        wait_until(lambda: transmit(GET_CHALLENGE)[0] == SCARD_S_SUCCESS, timeout=40,
                   what="an APDU that works once the storm is over")
        report(f"APDUs work again {time.monotonic() - storm_started:.1f} s after the storm began (30 s)")


class RefusedRekey(SessionTestCase):
    def test_the_card_status_follows_the_reader_and_the_reader_works_again_by_itself(self):
        self.wait_for_card()
        transmit = self.connect()
        # A bad reply, then a reader that refuses to start the encryption anew.
        self.control.set_fault("corrupt-tag", 1)
        self.control.set_fault("key-reply-03", -1)
        self.assertEqual(transmit(GET_CHALLENGE)[0] & 0xFFFFFFFF, SCARD_E_NOT_TRANSACTED)
        self.assertEqual(transmit(GET_CHALLENGE)[0] & 0xFFFFFFFF, SCARD_E_NOT_TRANSACTED)
        wait_until(lambda: self.control.log(event="indication"), what="the refused session key")
        removed = time.monotonic()
        self.control.remove_card()
        wait_until(lambda: not self.card_present(), what="the removed card to show absent")
        report(f"the removed card showed absent after {time.monotonic() - removed:.2f} s")
        self.control.insert_card()
        self.wait_for_card()
        self.control.clear_faults()
        wait_until(self.apdu_works, timeout=20, what="an APDU once the reader answers again")


class RefusedRekeyAskedAgain(SessionTestCase):
    """A lost reply, then a reader that refuses the session key three times,
    each time with the same bytes, before it answers."""

    def test_the_driver_asks_again_by_itself_and_the_next_apdu_works_at_once(self):
        self.wait_for_card()
        transmit = self.connect()
        self.control.set_fault("corrupt-tag", 1)
        self.assertEqual(transmit(GET_CHALLENGE)[0] & 0xFFFFFFFF, SCARD_E_NOT_TRANSACTED)
        self.control.clear_log()
        self.control.set_fault("key-reply-03", 3)
        self.assertEqual(transmit(GET_CHALLENGE)[0] & 0xFFFFFFFF, SCARD_E_NOT_TRANSACTED)
        asked = [time.monotonic()]

        def asked_again():
            if len(self.control.log(event="session-key")) > len(asked):
                asked.append(time.monotonic())
            return len(asked) == 4

        wait_until(asked_again, timeout=30, what="the session key asked for three more times, with no APDU")
        pauses = [later - earlier for earlier, later in zip(asked, asked[1:])]
        report("the driver asked again after pauses of " + ", ".join(f"{pause:.1f}" for pause in pauses) + " s")
        for pause, least in zip(pauses, (1, 2, 4)):
            self.assertGreater(pause, least - 0.2)
        (rc, response), waited = timed(transmit, GET_CHALLENGE)
        report(f"the first APDU afterwards took {waited:.3f} s")
        self.assertEqual((rc, len(response)), (SCARD_S_SUCCESS, 10))
        self.assertEqual(len(self.control.log(event="session-key")), 4)


class LargeResponses(SessionTestCase):
    """Notifications of 244 bytes carry a reply of up to 256 x 243 bytes; the
    reader's messages hold 9100 bytes."""
    sim_args = ("--notify-size", "244", "--message-size", "9100")

    def test_responses_beyond_8_kib_come_back_whole(self):
        self.wait_for_card()
        for length in (8191, 8192, 9000):
            with self.subTest(length=length):
                le = length - 2
                rc, response = self.transmit([0x80, 0xEE, 0x00, 0x00, 0x00, le >> 8, le & 0xFF])
                self.assertEqual((rc, len(response)), (SCARD_S_SUCCESS, length))
                self.assertEqual(response[-2:], [0x90, 0x00])
                self.assertEqual(response[:-2], [i & 0xFF for i in range(le)])
        report("the largest response carried whole: 9000 bytes")


class BusRestart(SessionTestCase):
    def test_a_restarted_system_bus_empties_the_slot_and_the_driver_connects_again(self):
        self.wait_for_card()
        self.close_control()
        type(self).control = None
        self.sim.stop()
        self.bus.stop()
        wait_until(lambda: not self.card_present(), what="the card to go with the bus")
        self.start_bus_and_bluez()
        back = time.monotonic()
        wait_until(self.control.applications, timeout=20, what="the application registered on the new bus")
        self.wait_for_card()
        report(f"the card was back {time.monotonic() - back:.1f} s after the bus")
        self.assertEqual(self.transmit(GET_CHALLENGE)[0], SCARD_S_SUCCESS)


class ForgedSignals(SessionTestCase):
    """Signals from a connection that does not own "org.bluez", sent to every
    listener and straight to the driver's connection."""

    def send_signal(self, connection, path, interface, member, signature, args, destination=None):
        message = dbus.lowlevel.SignalMessage(path, interface, member)
        message.append(*args, signature=signature)
        if destination:
            message.set_destination(destination)
        connection.send_message(message)
        connection.flush()

    def test_are_ignored(self):
        self.wait_for_card()
        driver = self.control.applications()[0][1]
        forger = dbus.bus.BusConnection(self.bus.address)
        self.addCleanup(forger.close)
        before = self.driver_log()
        adapter = {"org.bluez.Adapter1": {"Address": dbus.String("00:00:00:00:00:66")}}
        connected = ("org.bluez.Device1", {"Connected": dbus.Boolean(True)}, dbus.Array([], signature="s"))
        for destination in (None, driver):
            self.send_signal(forger, "/", "org.freedesktop.DBus.ObjectManager", "InterfacesAdded", "oa{sa{sv}}",
                             ("/org/bluez/hci66", adapter), destination)
            self.send_signal(forger, simctl.DEFAULT_READER, "org.freedesktop.DBus.Properties", "PropertiesChanged",
                             "sa{sv}as", connected, destination)
        # The real BlueZ's next adapter shows that signals are being read.
        self.control.add_adapter()
        wait_until(lambda: "new interface: /org/bluez/hci1" in self.driver_log(), what="the real new adapter")
        added = self.driver_log()[len(before):]
        self.assertNotIn("hci66", added)
        self.assertNotIn("something interesting in bt happened", added)


class ExitWithTheWorkerRunning(DriverStackTestCase):
    """pcscd ends (SIGTERM, as systemd stops it and as --auto-exit ends it,
    without closing its readers) while APDUs and card events are under way,
    and while an APDU waits for a reader that does not answer."""
    ROUNDS = 8
    # pcscd exits within this of SIGTERM: no thread of the driver holds it.
    EXIT_BOUND = 1.5

    def terminate_pcscd(self):
        """SIGTERM; pcscd's exit status and the seconds it took to exit."""
        terminated = time.monotonic()
        self.pcscd.process.send_signal(signal.SIGTERM)
        self.pcscd.process.wait(10)
        took = time.monotonic() - terminated
        return self.pcscd.stop(), took

    def test_pcscd_exits_at_once_while_an_apdu_waits_for_a_silent_reader(self):
        wait_until(self.card_present, timeout=15, what="the card")
        rc, card, protocol = scard.SCardConnect(self.context, self.reader, scard.SCARD_SHARE_SHARED,
                                                scard.SCARD_PROTOCOL_T0 | scard.SCARD_PROTOCOL_T1)
        self.assertEqual(rc, SCARD_S_SUCCESS)
        self.control.set_fault("silent", -1)
        self.addCleanup(self.control.clear_faults)
        self.control.clear_log()
        waiting = threading.Thread(target=scard.SCardTransmit, args=(card, protocol, GET_CHALLENGE), daemon=True)
        waiting.start()
        wait_until(lambda: self.control.log(event="silent"), what="the APDU at the reader")
        status, took = self.terminate_pcscd()
        report(f"pcscd exited {took:.3f} s after SIGTERM with an APDU in flight")
        self.assertEqual(status, 0, "pcscd did not exit normally")
        self.assertLess(took, self.EXIT_BOUND)
        self.control.clear_faults()
        self.restart_pcscd()

    def test_pcscd_exits_cleanly_every_time(self):
        for round in range(self.ROUNDS):
            with self.subTest(round=round):
                if round > 0:
                    self.restart_pcscd()
                wait_until(self.card_present, timeout=15, what="the card")
                busy = threading.Event()
                traffic = threading.Thread(target=self.keep_busy, args=(busy,), daemon=True)
                traffic.start()
                time.sleep(0.5 + round * 0.1)
                status, took = self.terminate_pcscd()
                busy.set()
                traffic.join(10)
                self.assertEqual(status, 0, "pcscd did not exit normally")
                self.assertLess(took, self.EXIT_BOUND)

    def keep_busy(self, done):
        """APDUs on one connection and card events, until `done` or pcscd goes."""
        rc, context = scard.SCardEstablishContext(scard.SCARD_SCOPE_USER)
        if rc != SCARD_S_SUCCESS:
            return
        rc, card, protocol = scard.SCardConnect(context, self.reader, scard.SCARD_SHARE_SHARED,
                                                scard.SCARD_PROTOCOL_T0 | scard.SCARD_PROTOCOL_T1)
        control = simctl.SimControl(self.bus.address)
        try:
            for i in range(1000):
                if done.is_set():
                    break
                if rc == SCARD_S_SUCCESS:
                    scard.SCardTransmit(card, protocol, echo(200))
                if i % 5 == 4:
                    (control.insert_card if i % 10 == 9 else control.remove_card)()
        finally:
            control.insert_card()
            control.close()


if __name__ == "__main__":
    unittest.main()
