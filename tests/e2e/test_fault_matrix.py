"""The fault matrix: faults of the reader, of BlueZ and of the bus, each seen
from a PC/SC application through pcscd. Every row checks the result code the
application gets, that pcscd is alive and its reader answers (a presence
check and a new SCardConnect), and that the next APDU or connection works
without restarting anything. The rows are printed as a table at the end."""

import os
import stat
import subprocess
import sys
import threading
import time
import unittest

import dbus
from smartcard import scard

import simctl
from driver_stack import DriverStackTestCase, wait_until

SCARD_S_SUCCESS = 0
SCARD_E_NOT_TRANSACTED = 0x80100016
SCARD_E_NO_SMARTCARD = 0x8010000C
CODE_NAMES = {
    SCARD_S_SUCCESS: "SCARD_S_SUCCESS",
    SCARD_E_NOT_TRANSACTED: "SCARD_E_NOT_TRANSACTED",
    SCARD_E_NO_SMARTCARD: "SCARD_E_NO_SMARTCARD",
    0x80100069: "SCARD_W_REMOVED_CARD",
    0x80100068: "SCARD_W_RESET_CARD",
    0x80100067: "SCARD_W_UNPOWERED_CARD",
    0x80100066: "SCARD_W_UNRESPONSIVE_CARD",
    0x8010002F: "SCARD_E_COMM_DATA_LOST",
    0x80100017: "SCARD_E_READER_UNAVAILABLE",
    0x8010000A: "SCARD_E_TIMEOUT",
}
VENDOR_ATTR_IEEE = 0x7B020
GET_CHALLENGE = [0x00, 0x84, 0x00, 0x00, 0x08]
# A short request whose reply takes two fragments: 4 header bytes, the
# status byte, 16 bytes, 90 00 and the 4-byte tag.
GET_CHALLENGE_16 = [0x00, 0x84, 0x00, 0x00, 0x10]
DEFAULT_ADDRESS = "E1:A5:00:00:00:01"
SECOND_ADDRESS = "E1:A5:00:00:00:02"
SERVICE = "org.bluez.GattService1"
CHARACTERISTIC = "org.bluez.GattCharacteristic1"
DEVICE = "org.bluez.Device1"
PEMRA_UUID = "723e2ee5-f0aa-4f13-a557-6b3f0e916803"
# BlueZ's paths below a device: the Pemra service and its characteristic 4.
SERVICE_ELEMENT = "/service0010"
CHARACTERISTIC_4_ELEMENT = "/service0010/char001a"
# Longest bound of one PC/SC call in these rows: a card computes for 40 s.
CALL_BOUND = 60
# How long a reader that is not taken is given to be taken all the same.
NOT_TAKEN_GRACE = 3

MATRIX = []


def code_name(rc):
    code = rc & 0xFFFFFFFF
    return CODE_NAMES.get(code, f"0x{code:08X}")


def echo(data):
    """The stand-in card's ECHO command: the answer is the data and 90 00."""
    return [0x80, 0xEE, 0x00, 0x00, len(data), *data]


# The short framing carries messages of up to 18 bytes: an APDU of 11 bytes
# at most (2 bytes of card command, 5 of encryption). This one goes long and
# its reply comes in 6 fragments.
LONG_APDU = echo(list(range(100)))


def timed(call, *args):
    started = time.monotonic()
    result = call(*args)
    return result, time.monotonic() - started


def bounded(call, *args, timeout=CALL_BOUND):
    """Runs a blocking PC/SC call on a thread of its own, so that a wedged
    daemon fails the test instead of hanging it."""
    result = []
    thread = threading.Thread(target=lambda: result.append(call(*args)), daemon=True)
    thread.start()
    thread.join(timeout)
    if thread.is_alive():
        raise AssertionError(f"{call.__name__} did not return within {timeout} s: wedged")
    return result[0]


def tearDownModule():
    if not MATRIX:
        return
    header = ("case", "expected", "observed", "recovered")
    widths = [max(len(str(row[i])) for row in MATRIX + [header]) for i in range(4)]
    line = lambda row: " | ".join(str(cell).ljust(width) for cell, width in zip(row, widths))
    print("\n" + line(header) + "\n" + "-+-".join("-" * width for width in widths))
    for row in sorted(MATRIX, key=lambda row: int(row[0].split()[0])):
        print(line(row))


class MatrixTestCase(DriverStackTestCase):
    """A private stack shared by the rows of one group."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        if cls.bus_at_start:
            wait_until(cls.card_present, timeout=15, what="the card")

    def tearDown(self):
        if self.control:
            self.control.clear_faults()

    def wait_for_card(self, timeout=15):
        wait_until(self.card_present, timeout=timeout, what="the card")

    def wait_for_no_card(self):
        wait_until(lambda: not self.card_present(), what="the card to go")

    def connect(self):
        """SCardConnect's result code, the card handle and the protocol."""
        rc, card, protocol = bounded(scard.SCardConnect, self.context, self.reader, scard.SCARD_SHARE_SHARED,
                                     scard.SCARD_PROTOCOL_T0 | scard.SCARD_PROTOCOL_T1)
        if rc == SCARD_S_SUCCESS:
            self.addCleanup(scard.SCardDisconnect, card, scard.SCARD_LEAVE_CARD)
        return rc, card, protocol

    def connected_card(self):
        rc, card, protocol = self.connect()
        self.assertEqual(rc, SCARD_S_SUCCESS, code_name(rc))
        return card, protocol

    def answers(self):
        """pcscd lives and its reader answers a presence check and a new
        connection, whatever their outcome."""
        if not self.pcscd.alive():
            return False
        rc, _ = bounded(scard.SCardGetStatusChange, self.context, 0, [(self.reader, scard.SCARD_STATE_UNAWARE)])
        if rc != SCARD_S_SUCCESS:
            return False
        self.connect()
        return True

    def apdu_works(self, card=None, protocol=None):
        """A GET CHALLENGE answers 8 bytes and 90 00, on the given handle or
        on a new connection once the card is there."""
        if card is None:
            self.wait_for_card()
            card, protocol = self.connected_card()
        rc, response = bounded(scard.SCardTransmit, card, protocol, GET_CHALLENGE)
        return rc == SCARD_S_SUCCESS and len(response) == 10 and response[-2:] == [0x90, 0x00]

    def reconnect_reader(self, device=simctl.DEFAULT_READER):
        self.control.set_connected(False, device)
        self.wait_for_no_card()
        self.control.set_connected(True, device)

    def record(self, case, expected, observed, recovered):
        """One row of the matrix; the row fails unless it went as expected,
        pcscd and its reader answer, and the stack recovered."""
        answers = self.answers()
        MATRIX.append((case, expected, observed if answers else f"{observed}, pcscd not answering",
                       "yes" if recovered else "NO"))
        self.assertTrue(answers, f"{case}: pcscd or its reader does not answer")
        self.assertEqual(observed, expected, case)
        self.assertTrue(recovered, f"{case}: no recovery")

    def driver_log_grows(self, text):
        """A predicate: the driver has printed `text` once more since now."""
        before = self.count_in_driver_log(text)
        return lambda: self.count_in_driver_log(text) > before


class ReplyFaults(MatrixTestCase):
    """Faults of one reply: the APDU fails, the next one on the same handle
    works (the driver starts the encryption anew where it must)."""

    def apdu_row(self, case, fault, value=1, apdu=GET_CHALLENGE):
        self.wait_for_card()
        card, protocol = self.connected_card()
        self.control.set_fault(fault, value)
        rc, _ = bounded(scard.SCardTransmit, card, protocol, apdu)
        self.control.clear_faults()
        self.record(case, "SCARD_E_NOT_TRANSACTED", code_name(rc), self.apdu_works(card, protocol))

    def test_a_card_that_computes_for_40_s_is_waited_for_and_the_next_apdu_works_at_once(self):
        # On-card key generation: the reader stays connected and says nothing.
        self.wait_for_card()
        card, protocol = self.connected_card()
        self.control.set_fault("reply-delay-ms", 40000)
        (rc, response), took = timed(bounded, scard.SCardTransmit, card, protocol, GET_CHALLENGE)
        self.control.clear_faults()
        (works, next_took) = timed(self.apdu_works, card, protocol)
        print(f"\n  figure: answered after {took:.1f} s, the next APDU after {next_took:.3f} s", flush=True)
        self.record("1 card computing for 40 s", "SCARD_S_SUCCESS", code_name(rc), works and len(response) == 10)
        self.assertGreater(took, 39)

    def test_a_corrupted_tag_a_short_reply_and_a_failed_status_fail_one_apdu(self):
        for case, fault in (("3 reply tag corrupted", "corrupt-tag"),
                            ("3 reply shorter than 4 bytes", "short-reply"),
                            ("3 reply status byte FE", "failed-status")):
            with self.subTest(fault=fault):
                self.apdu_row(case, fault)

    def test_broken_reply_headers_fail_one_apdu_in_either_framing(self):
        for case, fault in (("4 header fragment size 0", "header-zero-fragment-size"),
                            ("4 header total 0", "header-zero-total"),
                            ("4 more than 256 fragments", "header-too-many-fragments"),
                            ("4 fragments longer than announced", "oversized-fragments")):
            for framing, apdu in (("short", GET_CHALLENGE_16), ("long", LONG_APDU)):
                with self.subTest(fault=fault, framing=framing):
                    self.apdu_row(f"{case}, {framing}", fault, apdu=apdu)

    def test_a_3_byte_header_fails_one_long_apdu(self):
        self.apdu_row("4 3-byte header, long", "short-header", apdu=LONG_APDU)

    def test_failed_writes_and_header_reads_fail_one_apdu_without_waiting_for_a_reply(self):
        for fault, apdu in (("fail-write-1", LONG_APDU), ("fail-write-2", LONG_APDU), ("fail-read-3", LONG_APDU),
                            ("fail-write-7", GET_CHALLENGE)):
            with self.subTest(fault=fault):
                started = time.monotonic()
                self.apdu_row(f"5 {fault}", fault, apdu=apdu)
                # Well inside the silence bound: no reply is waited for.
                self.assertLess(time.monotonic() - started, 20)


class LinkLosses(MatrixTestCase):
    """The reader goes away during a transfer: the APDU fails, the reader
    comes back with SetConnected(true) and the driver takes it again."""

    def disconnect_row(self, case, fault, value, apdu):
        self.wait_for_card()
        card, protocol = self.connected_card()
        self.control.set_fault(fault, value)
        rc, _ = bounded(scard.SCardTransmit, card, protocol, apdu)
        self.control.clear_faults()
        self.wait_for_no_card()
        self.control.set_connected(True)
        self.record(case, "SCARD_E_NOT_TRANSACTED", code_name(rc), self.apdu_works())

    def test_a_disconnect_during_a_short_transfer(self):
        self.disconnect_row("2 disconnect, short, before the reply", "disconnect-after-fragments", 0,
                            GET_CHALLENGE)

    def test_a_disconnect_at_each_stage_of_a_long_transfer(self):
        for stage, where in ((1, "after the length"), (4, "mid-body"), (2, "before the header read"),
                             (3, "after the header read")):
            with self.subTest(stage=stage):
                self.disconnect_row(f"2 disconnect, long, {where}", "disconnect-at-long-stage", stage, LONG_APDU)

    def test_a_disconnect_amid_the_fragments_of_a_long_reply(self):
        self.disconnect_row("2 disconnect, long, after 2 of 6 fragments", "disconnect-after-fragments", 2,
                            LONG_APDU)


class SetUpFaults(MatrixTestCase):
    """Faults while a reader is set up after it connects: the reader is
    refused or its card shows; a later reconnect works."""

    def setup_row(self, case, expected, prepare, wait_for, before_recovery=lambda: None, first_connection=False):
        """Reconnects the reader with `prepare` done while it is away, waits
        for the stand-in's log event `wait_for`, then reads the SCardConnect
        result and checks that a clean reconnect works. `first_connection`:
        the driver's notification sessions end with the link, as though the
        reader connected for the first time since the driver started (BlueZ
        otherwise keeps them, and the driver asks for none)."""
        if first_connection:
            self.control.set_fault("notifications-end-at-disconnect", 1)
        self.control.set_connected(False)
        self.wait_for_no_card()
        prepare()
        self.control.clear_log()
        self.control.set_connected(True)
        wait_until(lambda: self.control.log(event=wait_for), what=wait_for)
        if expected == "SCARD_S_SUCCESS":
            self.wait_for_card()
        else:
            time.sleep(NOT_TAKEN_GRACE)
        rc, _, _ = self.connect()
        observed = code_name(rc)
        before_recovery()
        self.control.clear_faults()
        if observed != "SCARD_S_SUCCESS":
            self.reconnect_reader()
        self.record(case, expected, observed, self.apdu_works())

    def key_file(self):
        return os.path.join(os.environ["PEMRA_KEY_DIR"], DEFAULT_ADDRESS)

    def key(self):
        with open(self.key_file(), "rb") as key:
            return key.read()

    def assert_new_key_file(self, old):
        self.assertNotEqual(self.key(), old)
        self.assertEqual(len(self.key()), 32)
        self.assertEqual(stat.S_IMODE(os.stat(self.key_file()).st_mode), 0o600)

    def test_start_notify_failures(self):
        rows = (("5 fail-start-notify-4, once (second pass)", "fail-start-notify-4", 1, "SCARD_S_SUCCESS",
                 "indication"),
                ("5 fail-start-notify-8, once (second pass)", "fail-start-notify-8", 1, "SCARD_S_SUCCESS",
                 "indication"),
                ("5 fail-start-notify-4, both passes", "fail-start-notify-4", 2, "SCARD_E_NO_SMARTCARD",
                 "session-key"),
                ("5 fail-start-notify-8, both passes", "fail-start-notify-8", 2, "SCARD_E_NO_SMARTCARD",
                 "indication"))
        for case, fault, count, expected, wait_for in rows:
            with self.subTest(fault=fault, count=count):
                self.setup_row(case, expected, lambda: self.control.set_fault(fault, count), wait_for,
                               first_connection=True)

    def test_a_session_key_reply_03_ends_the_set_up_with_indication_08(self):
        self.setup_row("7 session-key reply 03 ...", "SCARD_E_NO_SMARTCARD",
                       lambda: self.control.set_fault("key-reply-03", 1), "indication")
        self.assertIn(b"\x08", [entry.data for entry in self.control.log(event="indication")])

    def test_a_key_exchange_reply_of_the_wrong_length_is_followed_by_a_new_exchange(self):
        old = self.key()

        def forget_and_cut_the_reply():
            self.control.forget_keys()
            self.control.set_fault("short-key-exchange-reply", 1)

        # The reader keeps the key whose reply was cut: the driver's old key
        # opens no session, so the host name goes unanswered and the driver
        # agrees a key once more.
        self.setup_row("7 key-exchange reply of 32 bytes", "SCARD_S_SUCCESS", forget_and_cut_the_reply,
                       "key-exchange", before_recovery=lambda: self.assertEqual(
                           len(self.control.log(event="key-exchange")), 2))
        self.assert_new_key_file(old)

    def test_a_reader_that_forgot_the_key_gets_a_new_one(self):
        old = self.key()
        self.setup_row("7 reader forgot the long-term key", "SCARD_S_SUCCESS", self.control.forget_keys,
                       "key-exchange")
        self.assert_new_key_file(old)

    def test_a_host_name_without_reply_redoes_the_key_exchange(self):
        old = self.key()
        self.setup_row("7 host name unanswered (key exchange again)", "SCARD_S_SUCCESS",
                       lambda: self.control.set_fault("corrupt-tag", 1), "key-exchange")
        self.assert_new_key_file(old)


class ReaderObjectFaults(MatrixTestCase):
    """Readers whose BlueZ objects are odd, while the default reader is away:
    they are taken and work, or are skipped; the default reader then comes
    back and works."""

    def other_reader_row(self, case, expected, options, prepare=None):
        """Adds a reader with `options` (disconnected, then connected after
        `prepare`), reads the SCardConnect result, removes it again."""
        self.control.set_connected(False)
        self.wait_for_no_card()
        device = self.control.add_reader(connected=False, **options)
        try:
            if prepare:
                prepare(device)
            rescanned = self.driver_log_grows("something interesting in bt happened")
            self.control.set_connected(True, device)
            wait_until(rescanned, what="the rescan")
            if expected == "SCARD_S_SUCCESS":
                self.wait_for_card()
                observed = code_name(self.connect()[0]) if self.apdu_works() else "APDU failed"
            else:
                time.sleep(NOT_TAKEN_GRACE)
                observed = code_name(self.connect()[0])
        finally:
            self.control.remove_reader(device)
        self.wait_for_no_card()
        self.control.set_connected(True)
        self.record(case, expected, observed, self.apdu_works())

    def test_a_service_without_characteristic_3_is_skipped(self):
        self.other_reader_row("6 service lacks characteristic 3", "SCARD_E_NO_SMARTCARD",
                              {"address": SECOND_ADDRESS, "omit_characteristics": [3]})

    def test_characteristic_uuids_in_capitals_still_name_their_numbers(self):
        self.other_reader_row("6 characteristic UUIDs in capitals", "SCARD_S_SUCCESS",
                              {"address": SECOND_ADDRESS, "uppercase_characteristics": list(range(1, 10))})

    def test_a_service_uuid_in_capitals_is_no_pemra_service(self):
        def capitalise_the_service(device):
            self.control.set_properties(device + SERVICE_ELEMENT, SERVICE, {"UUID": PEMRA_UUID.upper()})

        self.other_reader_row("6 service UUID in capitals", "SCARD_E_NO_SMARTCARD", {"address": SECOND_ADDRESS},
                              capitalise_the_service)

    def test_a_foreign_service_with_the_same_characteristic_uuids_is_left_alone(self):
        self.control.clear_log()
        self.other_reader_row("6 foreign service, same characteristic UUIDs", "SCARD_S_SUCCESS",
                              {"address": SECOND_ADDRESS, "foreign_service": True})
        self.assertEqual(self.control.log(event="foreign-call"), [])

    def test_addresses_that_are_no_bluetooth_addresses_name_no_key_file(self):
        key_dir = os.environ["PEMRA_KEY_DIR"]
        # A key planted where a path built from the address would lead.
        planted = os.path.join(self.workdir, "planted-key")
        with open(planted, "wb") as key:
            key.write(bytes(range(32)))
        climb = "../" * (os.path.abspath(key_dir).count("/") + 1)
        for label, address in (("../../ to a planted key", climb + planted.lstrip("/")),
                               ("E1:A5:00:00:00:0G", "E1:A5:00:00:00:0G")):
            with self.subTest(address=address):
                before = set(os.listdir(key_dir))
                self.control.clear_log()
                self.other_reader_row(f"11 address {label}", "SCARD_S_SUCCESS", {"address": address})
                key_events = [e.event for e in self.control.log() if e.event in ("key-exchange", "session-key")]
                # No key was read: the session began with a key exchange.
                self.assertEqual(key_events[:1], ["key-exchange"])
                self.assertEqual(set(os.listdir(key_dir)), before)
        with open(planted, "rb") as key:
            self.assertEqual(key.read(), bytes(range(32)))

    def test_a_second_reader_takes_the_slot_when_the_first_leaves(self):
        self.wait_for_card()
        second = self.control.add_reader(address=SECOND_ADDRESS)
        try:
            time.sleep(NOT_TAKEN_GRACE)
            first_kept_it = self.address_in_slot() == DEFAULT_ADDRESS
            self.control.set_connected(False)
            wait_until(lambda: self.address_in_slot() == SECOND_ADDRESS, what="the second reader in the slot")
            observed = code_name(self.connect()[0]) if self.apdu_works() else "APDU failed"
        finally:
            self.control.remove_reader(second)
        self.wait_for_no_card()
        self.control.set_connected(True)
        self.record("10 second reader takes the slot when the first leaves", "SCARD_S_SUCCESS", observed,
                    self.apdu_works())
        self.assertTrue(first_kept_it)

    def address_in_slot(self):
        rc, card, _ = scard.SCardConnect(self.context, self.reader, scard.SCARD_SHARE_DIRECT, 0)
        if rc != SCARD_S_SUCCESS:
            return None
        try:
            rc, value = scard.SCardGetAttrib(card, VENDOR_ATTR_IEEE)
            return bytes(value).rstrip(b"\0").decode() if rc == SCARD_S_SUCCESS else None
        finally:
            scard.SCardDisconnect(card, scard.SCARD_LEAVE_CARD)

    def test_connected_of_another_type_makes_a_reader_not_ready(self):
        self.control.set_connected(False)
        self.wait_for_no_card()
        device = self.control.add_reader(address=SECOND_ADDRESS, connected=False)
        try:
            self.control.set_properties(device, DEVICE, {"Connected": dbus.String("true"),
                                                         "ServicesResolved": dbus.Boolean(True)})
            # Paired turning true asks the driver to rescan.
            rescanned = self.driver_log_grows("something interesting in bt happened")
            self.control.set_properties(device, DEVICE, {"Paired": dbus.Boolean(True)})
            wait_until(rescanned, what="the rescan")
            time.sleep(NOT_TAKEN_GRACE)
            observed = code_name(self.connect()[0])
        finally:
            self.control.remove_reader(device)
        self.control.set_connected(True)
        self.record("12 Device1 Connected as a string", "SCARD_E_NO_SMARTCARD", observed, self.apdu_works())

    def test_a_characteristic_uuid_of_another_type_leaves_the_reader_untaken(self):
        self.other_reader_row(
            "12 characteristic 4 UUID as a number", "SCARD_E_NO_SMARTCARD", {"address": SECOND_ADDRESS},
            lambda device: self.control.set_properties(device + CHARACTERISTIC_4_ELEMENT, CHARACTERISTIC,
                                                       {"UUID": dbus.UInt32(4)}))

    def test_the_reader_in_the_slot_ignores_connected_of_another_type(self):
        self.wait_for_card()
        card, protocol = self.connected_card()
        seen = self.driver_log_grows("changed: {'Connected': <'false'>}")
        self.control.set_properties(simctl.DEFAULT_READER, DEVICE, {"Connected": dbus.String("false")})
        wait_until(seen, what="the driver to see the text")
        # The stand-in itself takes a Connected of another type for false and
        # refuses GATT calls: set it back before the APDU, which shows on the
        # same handle that the session never ended. The driver must have seen
        # that change before the APDU: one that comes while the APDU waits
        # ends the wait, as from a reader that reconnected and forgot it.
        seen = self.driver_log_grows("connected: true")
        self.control.set_properties(simctl.DEFAULT_READER, DEVICE, {"Connected": dbus.Boolean(True)})
        wait_until(seen, what="the driver to see Connected true")
        rc, _ = bounded(scard.SCardTransmit, card, protocol, GET_CHALLENGE)
        self.record("12 Connected \"false\" as a string on the reader in use", "SCARD_S_SUCCESS", code_name(rc),
                    self.apdu_works())


class BluezComingBack(MatrixTestCase):
    def test_org_bluez_exits_and_comes_back(self):
        self.wait_for_card()
        # The driver takes a BlueZ that left for the loss of every link.
        self.restart_bluez()
        wait_until(lambda: self.control.applications(), what="the application registered again")
        self.wait_for_card()
        observed = code_name(self.connect()[0])
        self.record("8 org.bluez exits and comes back", "SCARD_S_SUCCESS", observed, self.apdu_works())


class BusAppearingLate(MatrixTestCase):
    """The bus and BlueZ appear after pcscd has started the driver (the
    registration itself: e2e_bluez_registration)."""
    bus_at_start = False

    def test_the_presence_poll_completes_the_start_and_the_card_works(self):
        wait_until(lambda: "error registering profile" in self.driver_log(), what="the failed start")
        observed = code_name(self.connect()[0])
        self.start_bus_and_bluez()
        self.record("9 bus absent at start, then there", "SCARD_E_NO_SMARTCARD", observed, self.apdu_works())


APPLICATION = r"""
import sys
from smartcard import scard
app, count, reader = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
rc, context = scard.SCardEstablishContext(scard.SCARD_SCOPE_USER)
assert rc == 0, rc
rc, card, protocol = scard.SCardConnect(context, reader, scard.SCARD_SHARE_SHARED,
                                        scard.SCARD_PROTOCOL_T0 | scard.SCARD_PROTOCOL_T1)
assert rc == 0, rc
print("connected", flush=True)
sys.stdin.readline()
failed = mixed = 0
for i in range(count):
    data = [app, i >> 8 & 0xFF, i & 0xFF] + [app] * (i % 8)
    rc, response = scard.SCardTransmit(card, protocol, [0x80, 0xEE, 0x00, 0x00, len(data)] + data)
    if rc != 0:
        failed += 1
    elif response != data + [0x90, 0x00]:
        mixed += 1
scard.SCardDisconnect(card, scard.SCARD_LEAVE_CARD)
scard.SCardReleaseContext(context)
print(failed, mixed, flush=True)
"""


class TwoApplications(MatrixTestCase):
    APDUS = 10000

    def test_two_applications_transmitting_at_once_get_their_own_replies(self):
        self.wait_for_card()
        apps = [subprocess.Popen([sys.executable, "-c", APPLICATION, str(app), str(self.APDUS // 2), self.reader],
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
                for app in (1, 2)]
        try:
            for app in apps:
                self.assertEqual(app.stdout.readline().strip(), "connected")
            for app in apps:  # both start together
                app.stdin.write("go\n")
                app.stdin.flush()
            outputs = [app.communicate(timeout=240)[0] for app in apps]
        finally:
            for app in apps:
                if app.poll() is None:
                    app.kill()
                    app.wait()
        failed, mixed = (sum(int(output.split()[i]) for output in outputs) for i in (0, 1))
        self.record(f"13 two applications, {self.APDUS} APDUs", "0 failed, 0 mixed",
                    f"{failed} failed, {mixed} mixed", self.apdu_works())


if __name__ == "__main__":
    unittest.main()
