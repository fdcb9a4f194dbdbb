"""The driver in pcscd against BlueZ as bluetoothd behaves: notification
sessions kept across a link loss, another program listening to the reader,
Write Requests refused while one is outstanding, the application released."""

import unittest

import dbus
from smartcard import scard

import simctl
from driver_stack import wait_until
from test_reader_session import GET_CHALLENGE, SessionTestCase, echo

CHARACTERISTIC_4 = simctl.DEFAULT_READER + "/service0010/char001a"
CHARACTERISTIC_8 = simctl.DEFAULT_READER + "/service0010/char0026"
SETUP_DONE = b"\x01\x00"


class KeptNotificationSessions(SessionTestCase):
    """bluetoothd keeps the driver's notification sessions across a link loss
    and enables them again at the next connection, before the driver has a
    tunnel. This reader reports its status at every such enabling; the
    subclasses are readers that report it only at a switch-on from off, as
    one built on BlueZ does, with and without a readable status."""

    def reconnect(self, while_away, bluetoothd_restarts):
        # The host's sessions end with the link, as when its bluetoothd
        # restarts while the reader is away; the reader keeps its switch.
        if bluetoothd_restarts:
            self.control.set_fault("notifications-end-at-disconnect", 1)
        self.control.set_connected(False)
        wait_until(lambda: not self.card_present(), what="the card to go with the reader")
        while_away()
        self.control.clear_log()
        self.control.set_connected(True)
        wait_until(lambda: SETUP_DONE in [entry.data for entry in self.control.log(event="indication")],
                   what="the set-up after the reconnect")

    def test_after_a_reconnect_the_card_shows_as_it_is(self):
        keep_it = lambda: None
        rows = (("card kept in", keep_it, False, True),
                ("card taken out while away", self.control.remove_card, False, False),
                ("bluetoothd restarted, card kept in", keep_it, True, True),
                ("bluetoothd restarted, card taken out", self.control.remove_card, True, False))
        for case, while_away, bluetoothd_restarts, present in rows:
            with self.subTest(case=case):
                self.control.insert_card()
                self.wait_for_card()
                self.reconnect(while_away, bluetoothd_restarts)
                wait_until(lambda: self.card_present() == present, timeout=3, what=f"the card as it is: {case}")
        self.control.insert_card()
        self.wait_for_card()
        self.assertTrue(self.apdu_works())


class ReaderReportingAtSwitchOn(KeptNotificationSessions):
    sim_args = ("--status-at-switch-on",)


class ReaderReportingAtSwitchOnWithReadableStatus(KeptNotificationSessions):
    sim_args = ("--status-at-switch-on", "--status-readable")


class AnotherProgramListening(SessionTestCase):
    def test_apdus_get_their_own_answers_while_it_listens_and_after_it_left(self):
        self.wait_for_card()
        transmit = self.connect()
        other = dbus.bus.BusConnection(self.bus.address)
        characteristic = dbus.Interface(other.get_object(simctl.BLUEZ, CHARACTERISTIC_4),
                                        "org.bluez.GattCharacteristic1")
        characteristic.StartNotify()
        for listening in (True, False):
            for apdu in (GET_CHALLENGE, echo(200)):
                with self.subTest(listening=listening, length=len(apdu)):
                    rc, response = transmit(apdu)
                    self.assertEqual(rc, 0, scard.SCardGetErrorMessage(rc))
                    expected = 10 if apdu is GET_CHALLENGE else len(apdu) - 7 + 2
                    self.assertEqual((len(response), response[-2:]), (expected, [0x90, 0x00]))
                    if apdu is not GET_CHALLENGE:
                        self.assertEqual(response[:-2], apdu[7:])
            other.close()


class AnotherProgramListeningFirst(SessionTestCase):
    """Another program listened to the reader before this pcscd's driver met
    it, then leaves: bluetoothd ends its sessions, and the driver's own keep
    the reader's notifications on."""

    def test_the_reader_works_after_that_program_left(self):
        self.wait_for_card()
        other = dbus.bus.BusConnection(self.bus.address)
        for path in (CHARACTERISTIC_4, CHARACTERISTIC_8):
            dbus.Interface(other.get_object(simctl.BLUEZ, path), "org.bluez.GattCharacteristic1").StartNotify()
        self.pcscd.stop()
        self.restart_pcscd()
        self.wait_for_card()
        other.close()
        self.assertTrue(self.apdu_works())


class WriteAnsweredAfterTheReply(SessionTestCase):
    """The reader answers each Write Request 100 ms after it acted on it, so
    its reply comes first: the next short request on characteristic 7 would
    meet bluetoothd's InProgress if it did not wait for that answer."""

    def test_no_request_is_lost_to_in_progress(self):
        self.wait_for_card()
        transmit = self.connect()
        self.control.set_fault("write-answer-delay-ms", 100)
        self.addCleanup(self.control.clear_faults)
        results = [transmit(GET_CHALLENGE)[0] for _ in range(5)]
        self.assertEqual(results, [0] * 5)


class ConnectedWithoutServices(SessionTestCase):
    """A race between bluetoothd and the kernel left the reader connected
    without resolved services, on a link that carries nothing."""
    sim_args = ("--unresolved",)

    def test_the_driver_disconnects_it_and_takes_it_when_bluez_connects_it_again(self):
        wait_until(lambda: self.control.log(event="device-call"), timeout=30, what="the driver's Disconnect")
        self.assertEqual([entry.detail for entry in self.control.log(event="device-call")], ["Disconnect"])
        # bluetoothd connects a reader of a registered application again by itself.
        self.control.set_connected(True)
        self.wait_for_card()
        self.assertTrue(self.apdu_works())


class ApplicationReleased(SessionTestCase):
    def test_bluez_releases_the_application_of_an_adapter_it_removes(self):
        self.wait_for_card()
        adapter = self.control.add_adapter()
        wait_until(lambda: adapter in [entry[0] for entry in self.control.applications()],
                   what="the application on the new adapter")
        self.control.remove_adapter(adapter)
        wait_until(lambda: self.control.log(event="release", source=adapter), what="the release")
        self.assertTrue(all(entry.detail.endswith(" ok") for entry in self.control.log(event="release")))
        self.assertTrue(self.apdu_works())


if __name__ == "__main__":
    unittest.main()
