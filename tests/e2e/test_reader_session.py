"""The reader session's set-up and recovery, seen from a PC/SC application
and from what the stand-in's reader received."""

import os
import shutil
import time
import unittest

import dbus
from smartcard import scard

import simctl
import stack
from driver_stack import GET_CHALLENGE, DriverStackTestCase, wait_until
from real_bluez import RealBluezTestCase

SCARD_E_NOT_TRANSACTED = 0x80100016
SCARD_W_UNPOWERED_CARD = 0x80100067
SCARD_ATTR_MAXINPUT = 0x7A007
IOCTL_VENDOR_RPC = 0xBB01
READER_ADDRESS = "E1:A5:00:00:00:01"
# The stand-in's first adapter: the reader keeps its keys per host adapter.
HOST_ADDRESS = "00:1A:7D:DA:71:00"
CHARACTERISTIC = "org.bluez.GattCharacteristic1"


def echo(size):
    """An extended-length echo APDU of `size` bytes in all, for the stand-in's card."""
    data = [i & 0xFF for i in range(size - 7)]
    return [0x80, 0xEE, 0x00, 0x00, 0x00, len(data) >> 8, len(data) & 0xFF, *data]


class SessionTestCase(DriverStackTestCase):
    def reconnect_reader(self):
        self.wait_for_card()
        self.control.set_connected(False)
        wait_until(lambda: not self.card_present(), what="the card to go")
        self.control.clear_log()
        self.control.set_connected(True)
        self.wait_for_card()

    def requests(self, event="request"):
        return [entry.data for entry in self.control.log(event=event)]

    def vendor_rpc(self, message):
        return self.on_direct_connection(lambda card: scard.SCardControl(card, IOCTL_VENDOR_RPC, message))

    def max_input(self):
        """SCARD_ATTR_MAXINPUT, or None when the driver reports none."""
        rc, value = self.on_direct_connection(lambda card: scard.SCardGetAttrib(card, SCARD_ATTR_MAXINPUT))
        return int.from_bytes(bytes(value), "little") if rc == 0 else None

    def writes(self):
        return [entry for entry in self.control.log() if entry.event.startswith("write")]


class SetUpAndReconnect(SessionTestCase):
    def test_the_set_up_sends_its_requests_in_order(self):
        self.reconnect_reader()
        self.assertEqual(len(self.control.log(event="session-key")), 1)
        codes = [request[0] for request in self.requests() if request]
        # Host name (04), descriptor (01), time (0A), buffer size (10).
        self.assertEqual(codes[:4], [0x04, 0x01, 0x0A, 0x10])
        self.assertIn(b"\x01\x00", [entry.data for entry in self.control.log(event="indication")])

    def test_a_reconnect_reuses_the_long_term_key(self):
        self.reconnect_reader()
        self.assertEqual(self.control.log(event="key-exchange"), [])

    def test_a_corrupted_reply_fails_one_apdu_and_the_next_one_works(self):
        self.wait_for_card()
        self.control.set_fault("corrupt-tag", 1)
        rc, _ = self.transmit(GET_CHALLENGE)
        self.assertEqual(rc & 0xFFFFFFFF, SCARD_E_NOT_TRANSACTED)
        rc, response = self.transmit(GET_CHALLENGE)
        self.assertEqual(rc, 0)
        self.assertEqual(response[-2:], [0x90, 0x00])
        self.assertEqual(len(response), 10)


class ReaderRefusingTheSession(SessionTestCase):
    sim_args = ("--disconnected",)

    def test_a_session_key_reply_beginning_03_ends_the_set_up_with_indication_08(self):
        self.control.set_fault("key-reply-03", 1)
        self.control.set_connected(True)
        wait_until(lambda: b"\x08" in [e.data for e in self.control.log(event="indication")],
                   what="indication 08")
        self.assertFalse(self.card_present())
        self.assertEqual(self.control.log(event="key-exchange"), [])


class StrayFragments(SessionTestCase):
    def test_the_rest_of_an_abandoned_reply_never_becomes_the_next_reply(self):
        self.wait_for_card()
        # The reader announces more fragments than a reply may have, then
        # keeps sending them slowly after the driver has given up.
        self.control.set_fault("fragment-interval-ms", 20)
        self.control.set_fault("header-too-many-fragments", 1)
        rc, _ = self.transmit(GET_CHALLENGE)
        self.assertEqual(rc & 0xFFFFFFFF, SCARD_E_NOT_TRANSACTED)
        # Requests fail while the rest comes, and work again once it stopped.
        wait_until(lambda: self.transmit(GET_CHALLENGE)[0] == 0, timeout=30, what="an APDU that works")
        rc, response = self.transmit(GET_CHALLENGE)
        self.assertEqual((rc, len(response), response[-2:]), (0, 10, [0x90, 0x00]))
        self.assertEqual(self.control.log(event="decrypt-failure"), [])


class CardComingAndGoingScenarios:
    def test_a_removed_card_is_absent_and_a_new_one_present(self):
        self.wait_for_card()
        for _ in range(2):
            self.control.remove_card()
            self.wait_for_no_card()
            self.control.insert_card()
            self.wait_for_card()
        rc, response = self.transmit(GET_CHALLENGE)
        self.assertEqual((rc, response[-2:]), (0, [0x90, 0x00]))


class CardComingAndGoingOnRealBluez(CardComingAndGoingScenarios, RealBluezTestCase):
    pass


class CardAndReaderComingAndGoing(CardComingAndGoingScenarios, SessionTestCase):
    def test_a_lost_reader_leaves_no_card_but_its_maximum_apdu_size(self):
        self.wait_for_card()
        size = self.max_input()
        self.control.set_connected(False)
        wait_until(lambda: not self.card_present(), what="the card to go")
        self.assertEqual(self.max_input(), size)
        self.control.set_connected(True)
        self.wait_for_card()
        rc, response = self.transmit(GET_CHALLENGE)
        self.assertEqual((rc, response[-2:]), (0, [0x90, 0x00]))


class CardCommandsThroughTheVendorCode(SessionTestCase):
    """A second program sends a card command (02 04: power off) through the
    vendor control code while the first one holds the card powered."""

    def test_are_refused_and_the_card_stays_as_pcscd_holds_it(self):
        self.wait_for_card()
        rc, card, protocol = scard.SCardConnect(self.context, self.reader, scard.SCARD_SHARE_SHARED,
                                                scard.SCARD_PROTOCOL_T0 | scard.SCARD_PROTOCOL_T1)
        self.assertEqual(rc, 0, scard.SCardGetErrorMessage(rc))
        self.addCleanup(scard.SCardDisconnect, card, scard.SCARD_LEAVE_CARD)
        self.control.clear_log()
        for message in ([0x02, 0x04], [0x02, 0x05, *GET_CHALLENGE], [0x02, 0x01]):
            with self.subTest(message=message):
                rc, _ = self.vendor_rpc(message)
                self.assertEqual(rc & 0xFFFFFFFF, scard.SCARD_E_UNSUPPORTED_FEATURE & 0xFFFFFFFF)
        self.assertEqual(self.requests(), [])
        rc, _, state, _, _ = scard.SCardStatus(card)
        self.assertEqual((rc, state & 0xFFFF), (0, 0x34))  # present, powered, negotiable
        rc, response = scard.SCardTransmit(card, protocol, GET_CHALLENGE)
        self.assertEqual((rc, len(response)), (0, 10))


class ReaderOfMessageSize271(SessionTestCase):
    """Message size 271: 266 bytes of plaintext, so APDUs of up to 264 bytes."""
    sim_args = ("--message-size", "271")

    def test_the_largest_apdu_is_264_bytes_and_is_reported(self):
        self.wait_for_card()
        self.assertEqual(self.max_input(), 264)
        self.control.clear_log()
        rc, response = self.transmit(echo(264))
        self.assertEqual(rc, 0, scard.SCardGetErrorMessage(rc))
        self.assertEqual(response, echo(264)[7:] + [0x90, 0x00])
        self.assertEqual([len(request) for request in self.requests()], [266])

    def test_an_apdu_of_265_bytes_is_refused_without_a_transfer(self):
        self.wait_for_card()
        self.control.clear_log()
        rc, _ = self.transmit(echo(265))
        self.assertEqual(rc & 0xFFFFFFFF, SCARD_E_NOT_TRANSACTED)
        self.assertEqual(self.writes(), [])


class ReaderOfMessageSize270(SessionTestCase):
    """Message size 270 is too small to use: the driver keeps its own limit of
    320 bytes of plaintext, 318 of APDU, and reports no maximum APDU size."""
    sim_args = ("--message-size", "270")

    def test_no_maximum_apdu_size_is_reported(self):
        self.wait_for_card()
        self.assertIsNone(self.max_input())

    def test_a_vendor_message_of_320_bytes_is_sent_and_one_of_321_refused_without_a_transfer(self):
        self.wait_for_card()
        self.control.clear_log()
        rc, answer = self.vendor_rpc([0x7E] * 320)
        # The reader itself finds it too long (0B); the driver passes that on.
        self.assertEqual((rc, answer), (0, [0x0B]))
        self.assertEqual([len(request) for request in self.requests()], [320])
        self.control.clear_log()
        rc, _ = self.vendor_rpc([0x7E] * 321)
        self.assertEqual(rc & 0xFFFFFFFF, SCARD_E_NOT_TRANSACTED)
        self.assertEqual(self.writes(), [])

    def test_an_apdu_of_318_bytes_is_sent_and_one_of_319_refused_without_a_transfer(self):
        self.wait_for_card()
        self.control.clear_log()
        self.transmit(echo(318))
        self.assertEqual([len(request) for request in self.requests()], [320])
        self.control.clear_log()
        rc, _ = self.transmit(echo(319))
        self.assertEqual(rc & 0xFFFFFFFF, SCARD_E_NOT_TRANSACTED)
        self.assertEqual(self.writes(), [])


@unittest.skipUnless(os.geteuid() == 0, "pcscd gets a host name of its own only from root")
class HostName(SessionTestCase):
    pcscd_hostname = "abc"

    def test_the_host_name_abc_goes_out_as_04_61_62_63_in_a_frame_of_9_bytes(self):
        self.reconnect_reader()
        self.assertEqual([request for request in self.requests() if request[:1] == b"\x04"], [b"\x04abc"])
        # The session-key request, then the host name: FF, 4 bytes, the tag.
        frame = self.control.log(event="message")[1].data
        self.assertEqual((len(frame), frame[0]), (9, 0xFF))
        self.assertIn(b"\x09\x00" + frame, [entry.data for entry in self.control.log(event="write")
                                             if entry.detail == "7"])


class CardStatusDuringTheSetUp(SessionTestCase):
    sim_args = ("--disconnected",)

    def test_a_status_received_during_the_set_up_is_signalled_once_at_its_end(self):
        # Slow replies give the test time to look inside the set-up.
        self.control.set_fault("reply-delay-ms", 500)
        self.addCleanup(self.control.clear_faults)
        self.control.set_connected(True)
        wait_until(lambda: b"\x04" in [request[:1] for request in self.requests()], what="the host name")
        self.control.insert_card()
        wait_until(lambda: b"\x10" in [request[:1] for request in self.requests()], what="the buffer-size request")
        # 01 06 came with the notifications' start, again when the driver
        # switched them off and on to hear the status as it is, and once more
        # since; the set-up waits for its last reply.
        self.assertEqual([entry.data for entry in self.control.log(event="notify") if entry.detail == "8"],
                         [b"\x01\x06"] * 3)
        self.assertEqual(self.count_in_driver_log("status changed 6"), 0)
        self.assertFalse(self.card_present())
        self.wait_for_card()
        time.sleep(0.5)
        self.assertEqual(self.count_in_driver_log("status changed 6"), 1)
        self.assertEqual(self.count_in_driver_log("status noti: 0106"), 3)


class LongTermKeyFiles(SessionTestCase):
    """The driver's key file as it finds it, seen from the reader's side: the
    reader keeps KEY in its key store."""
    KEY = bytes(range(0x40, 0x60))

    @classmethod
    def setUpClass(cls):
        cls.reader_keys = stack.make_workdir("pemra-e2e-reader-keys-")
        cls.addClassCleanup(shutil.rmtree, cls.reader_keys, ignore_errors=True)
        cls.sim_args = ("--key-store", cls.reader_keys)
        super().setUpClass()

    def driver_key_file(self):
        return os.path.join(os.environ["PEMRA_KEY_DIR"], READER_ADDRESS)

    def reader_key_file(self):
        return os.path.join(self.reader_keys, READER_ADDRESS, HOST_ADDRESS)

    def reconnect_with_key_file(self, content):
        # The session of the class's start must be over before the log is
        # cleared, or its late requests would come first in it.
        self.wait_for_card()
        self.control.set_connected(False)
        wait_until(lambda: not self.card_present(), what="the card to go")
        self.control.forget_keys()
        os.makedirs(os.path.dirname(self.reader_key_file()))
        with open(self.reader_key_file(), "wb") as key:
            key.write(self.KEY)
        os.makedirs(os.path.dirname(self.driver_key_file()), exist_ok=True)
        with open(self.driver_key_file(), "wb") as key:
            key.write(content)
        self.control.clear_log()
        self.control.set_connected(True)
        self.wait_for_card()

    def driver_key(self):
        with open(self.driver_key_file(), "rb") as key:
            return key.read()

    def first_message(self):
        return self.control.log(event="message")[0].data

    def test_a_file_of_32_bytes_is_the_key_and_the_link_begins_with_the_session_key_request(self):
        self.reconnect_with_key_file(self.KEY)
        self.assertEqual(self.control.log(event="key-exchange"), [])
        self.assertEqual((len(self.first_message()), self.first_message()[0]), (22, 0xA0))

    def test_a_file_of_31_bytes_means_a_key_exchange_whose_key_replaces_it_with_32_bytes(self):
        self.reconnect_with_key_file(self.KEY[:31])
        self.assertEqual(len(self.control.log(event="key-exchange")), 1)
        self.assertEqual((len(self.first_message()), self.first_message()[0]), (65, 0x03))
        with open(self.reader_key_file(), "rb") as key:
            self.assertEqual(self.driver_key(), key.read())
        self.assertEqual(len(self.driver_key()), 32)

    def test_of_a_file_of_40_bytes_the_first_32_are_the_key(self):
        self.reconnect_with_key_file(self.KEY + b"\xEE" * 8)
        self.assertEqual(self.control.log(event="key-exchange"), [])
        self.assertEqual(self.driver_key(), self.KEY + b"\xEE" * 8)


class ResetAndStatusOddities(SessionTestCase):
    def status_characteristic(self):
        root = self.control.connection.get_object(simctl.BLUEZ, "/")
        objects = root.GetManagedObjects(dbus_interface="org.freedesktop.DBus.ObjectManager")
        return next(str(path) for path, interfaces in objects.items()
                    if str(interfaces.get(CHARACTERISTIC, {}).get("UUID", "")).startswith("00000008"))

    def notify_status(self, value):
        """The reader's status characteristic notifies `value`."""
        self.control.set_properties(self.status_characteristic(), CHARACTERISTIC, {"Value": dbus.ByteArray(value)})
        wait_until(lambda: f"status noti: {value.hex()}" in self.driver_log(), what="the notification")

    def reinsert_card(self):
        self.control.remove_card()
        wait_until(lambda: not self.card_present(), what="the card to go")
        self.control.insert_card()
        self.wait_for_card()

    def test_a_reset_answered_00_alone_gives_no_atr_and_a_mute_card(self):
        self.wait_for_card()
        self.control.set_fault("empty-atr", -1)
        self.addCleanup(self.control.clear_faults)
        self.control.clear_log()
        self.reinsert_card()
        rc, _, _ = scard.SCardConnect(self.context, self.reader, scard.SCARD_SHARE_SHARED,
                                      scard.SCARD_PROTOCOL_T0 | scard.SCARD_PROTOCOL_T1)
        self.assertEqual(rc & 0xFFFFFFFF, SCARD_W_UNPOWERED_CARD)
        _, states = scard.SCardGetStatusChange(self.context, 0, [(self.reader, scard.SCARD_STATE_UNAWARE)])
        self.assertTrue(states[0][1] & scard.SCARD_STATE_MUTE)
        self.assertIn(b"\x02\x01", self.requests())
        self.assertEqual({entry.data for entry in self.control.log(event="reply")}, {b"\x00"})
        self.control.clear_faults()
        self.reinsert_card()
        rc, response = self.transmit(GET_CHALLENGE)
        self.assertEqual((rc, response[-2:]), (0, [0x90, 0x00]))

    def test_status_notifications_of_one_byte_or_of_another_kind_are_ignored(self):
        self.wait_for_card()
        changes = self.count_in_driver_log("status changed")
        for value in (b"\x01", b"\x02\x02", b"\x00\x02"):
            self.notify_status(value)
        self.assertTrue(self.card_present())
        self.assertEqual(self.count_in_driver_log("status changed"), changes)
        # One of the right kind counts at once.
        self.notify_status(b"\x01\x02")
        wait_until(lambda: not self.card_present(), what="the card to go")
        self.control.insert_card()
        self.wait_for_card()
