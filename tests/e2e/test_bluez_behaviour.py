"""The driver in pcscd against BlueZ as bluetoothd behaves: the reader
coming back after a link loss with notification sessions kept, bluetoothd
restarted, another program listening to the reader, Write Requests refused
while one is outstanding, the application released. The scenarios that run
on either bed come first, then what only the stand-in can show."""

import contextlib
import time
import unittest

import dbus

import simctl
from driver_stack import wait_until
from real_bluez import RealBluezTestCase
from test_reader_session import GET_CHALLENGE, SessionTestCase, echo

CHARACTERISTIC_4 = simctl.DEFAULT_READER + "/service0010/char001a"
CHARACTERISTIC_8 = simctl.DEFAULT_READER + "/service0010/char0026"
SETUP_DONE = b"\x01\x00"


def report(figure):
    print(f"\n  figure: {figure}", flush=True)


class ReaderComingBackScenarios:
    """The reader drops its link and comes back; bluetoothd keeps the
    driver's notification sessions meanwhile."""

    def rows(self):
        """(case, before the reader leaves, while it is away, card present after)."""
        return (("card kept in", lambda: None, lambda: None, True),
                ("card taken out while away", lambda: None, self.control.remove_card, False))

    def reconnect(self, before_leaving, while_away):
        before_leaving()
        self.drop_link()
        self.wait_for_no_card()
        while_away()
        self.control.clear_log()
        self.restore_link()
        wait_until(lambda: SETUP_DONE in [entry.data for entry in self.control.log(event="indication")],
                   timeout=self.CARD_TIMEOUT, what="the set-up after the reconnect")

    def test_after_a_reconnect_the_card_shows_as_it_is(self):
        for case, before_leaving, while_away, present in self.rows():
            with self.subTest(case=case):
                self.control.insert_card()
                self.wait_for_card()
                left = time.monotonic()
                self.reconnect(before_leaving, while_away)
                wait_until(lambda: self.card_present() == present, timeout=3, what=f"the card as it is: {case}")
                report(f"{case}: the card as it is {time.monotonic() - left:.1f} s after the link dropped")
        self.control.insert_card()
        self.wait_for_card()
        self.assertTrue(self.apdu_works())


class BluezRestartScenarios:
    def test_the_card_is_back_after_bluetoothd_restarts(self):
        self.wait_for_card()
        self.restart_bluez()
        restarted = time.monotonic()
        self.wait_for_card()
        report(f"the card was back {time.monotonic() - restarted:.1f} s after bluetoothd")
        self.assertTrue(self.apdu_works())
        # The application was registered once with the new bluetoothd.
        self.assertNotIn("cannot register", self.driver_log())


class AnotherProgramListeningScenarios:
    def test_apdus_get_their_own_answers_while_it_listens_and_after_it_left(self):
        self.wait_for_card()
        transmit = self.connect()
        for listening in (True, False):
            with (self.another_program_listening() if listening else contextlib.nullcontext()):
                for apdu in (GET_CHALLENGE, echo(200)):
                    with self.subTest(listening=listening, length=len(apdu)):
                        rc, response = transmit(apdu)
                        self.assertEqual(rc, 0, self.scard.SCardGetErrorMessage(rc))
                        expected = 10 if apdu is GET_CHALLENGE else len(apdu) - 7 + 2
                        self.assertEqual((len(response), response[-2:]), (expected, [0x90, 0x00]))
                        if apdu is not GET_CHALLENGE:
                            self.assertEqual(response[:-2], apdu[7:])


class BluezRestart(BluezRestartScenarios, SessionTestCase):
    pass


class AnotherProgramListening(AnotherProgramListeningScenarios, SessionTestCase):
    pass


class PcscdStartedOnDemandScenarios:
    """pcscd starts for its first client (as socket activation starts it)
    while BlueZ holds the reader connected."""

    def test_its_first_client_finds_the_card_at_once(self):
        self.wait_for_card()
        started = time.monotonic()
        self.restart_pcscd()
        scard = self.scard
        rc, card, protocol = scard.SCardConnect(self.context, self.reader, scard.SCARD_SHARE_SHARED,
                                                scard.SCARD_PROTOCOL_T0 | scard.SCARD_PROTOCOL_T1)
        report(f"pcscd's first client had the card {time.monotonic() - started:.1f} s after pcscd started")
        self.assertEqual(rc, 0, scard.SCardGetErrorMessage(rc))
        self.addCleanup(scard.SCardDisconnect, card, scard.SCARD_LEAVE_CARD)
        rc, response = scard.SCardTransmit(card, protocol, GET_CHALLENGE)
        self.assertEqual((rc, len(response)), (0, 10))


class PcscdStartedOnDemand(PcscdStartedOnDemandScenarios, SessionTestCase):
    pass


class PcscdStartedOnDemandOnRealBluez(PcscdStartedOnDemandScenarios, RealBluezTestCase):
    pass


class ReaderComingBackOnRealBluez(ReaderComingBackScenarios, RealBluezTestCase):
    pass


class BluezRestartOnRealBluez(BluezRestartScenarios, RealBluezTestCase):
    pass


class AnotherProgramListeningOnRealBluez(AnotherProgramListeningScenarios, RealBluezTestCase):
    pass


class KeptNotificationSessions(ReaderComingBackScenarios, SessionTestCase):
    """bluetoothd enables the kept sessions again at the next connection,
    before the driver has a tunnel. This reader reports its status at every
    such enabling; the subclasses are readers that report it only at a
    switch-on from off, as one built on BlueZ does, with and without a
    readable status. The stand-in also ends the host's sessions with the
    link, as a restart of the host's bluetoothd while the reader is away
    does; the reader keeps its switch then."""

    def rows(self):
        restart = lambda: self.control.set_fault("notifications-end-at-disconnect", 1)
        return (*super().rows(),
                ("bluetoothd restarted, card kept in", restart, lambda: None, True),
                ("bluetoothd restarted, card taken out", restart, self.control.remove_card, False))


class ReaderReportingAtSwitchOn(KeptNotificationSessions):
    sim_args = ("--status-at-switch-on",)


class ReaderReportingAtSwitchOnWithReadableStatus(KeptNotificationSessions):
    sim_args = ("--status-at-switch-on", "--status-readable")


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

    def test_the_driver_connects_it_anew_and_takes_it(self):
        wait_until(lambda: len(self.control.log(event="device-call")) == 2, timeout=30,
                   what="the driver's Disconnect and Connect")
        # Connect also lets bluetoothd connect it by itself again, which
        # Disconnect stops.
        self.assertEqual([entry.detail for entry in self.control.log(event="device-call")], ["Disconnect", "Connect"])
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
