"""The reader side of the link, checked by an independent host: key
exchange, session key, encrypted set-up requests and card commands."""

import os
import shutil
import unittest

import pemra_host
import simctl
import stack
from sim_fixture import SimTestCase

SELECT_APPLICATION = bytes.fromhex("00A4040009F050454D524153494D")
SELECT_PUBLIC_FILE = bytes.fromhex("00A4020C025001")
SELECT_PIN_FILE = bytes.fromhex("00A4020C025002")


class ReaderLink(SimTestCase):
    def test_key_exchange_session_key_descriptor_and_apdu_work_end_to_end(self):
        link = self.linked(self.new_reader())
        reset = link.exchange(b"\x02\x01")
        self.assertEqual(reset[0], 0)
        self.assertEqual(reset[1:5], bytes.fromhex("3B888001"))
        self.assertEqual(link.apdu(SELECT_APPLICATION + b"\x00")[-2:], b"\x90\x00")
        self.assertEqual(link.apdu(SELECT_PUBLIC_FILE), b"\x90\x00")
        self.assertEqual(link.apdu(bytes.fromhex("00B0000004")), bytes.fromhex("000102039000"))

    def test_descriptor_names_mac_serial_and_name(self):
        device = self.new_reader(address="12:34:56:78:9A:BC", name="Desk")
        reply = self.linked(device).exchange(b"\x01")
        self.assertEqual(reply[0], 0)
        descriptor = reply[1:]
        self.assertEqual(descriptor[0], len(descriptor) - 1)
        self.assertIn(b"\x0b\x03MAC\x06" + bytes.fromhex("123456789ABC"), descriptor)
        self.assertIn(b"\x0d\x06Serial\x05" + bytes.fromhex("2056789ABC"), descriptor)
        self.assertIn(b"\x0a\x04Name\x04Desk", descriptor)

    def test_set_up_requests_get_the_answers_the_host_expects(self):
        link = self.linked(self.new_reader(message_size=0x010F))
        self.assertEqual(link.exchange(b"\x04abc"), b"\x00")
        self.assertEqual(link.exchange(b"\x0a\xce\x13"), b"\x00")
        self.assertEqual(link.exchange(b"\x10"), b"\x00\x0f\x01")

    def test_vendor_messages_answer_reversed_or_fail(self):
        link = self.linked(self.new_reader())
        self.assertEqual(link.exchange(b"\x7e\x01\x02\x03"), b"\x00\x03\x02\x01\x7e")
        self.assertEqual(link.exchange(b"\x7f\x01"), b"\xff")
        self.assertEqual(link.exchange(b"\x55"), b"\xff")

    def test_an_apdu_of_30_bytes_travels_in_the_long_framing(self):
        device = self.new_reader()
        link = self.linked(device)
        self.control.clear_log()
        echo = bytes.fromhex("80EE000018") + bytes(range(24)) + b"\x00"
        self.assertEqual(link.apdu(echo), bytes(range(24)) + b"\x90\x00")
        messages = self.control.log("message", device)
        self.assertEqual([m.detail for m in messages], ["long"])
        self.assertEqual(len(self.control.log("read", device)), 1)

    def test_an_extended_apdu_fills_many_fragments(self):
        link = self.linked(self.new_reader())
        echo = bytes.fromhex("80EE0000" "0003E8") + bytes(i & 0xFF for i in range(1000)) + b"\x00\x00"
        self.assertEqual(link.apdu(echo), bytes(i & 0xFF for i in range(1000)) + b"\x90\x00")

    def test_a_larger_notify_size_gives_longer_fragments(self):
        device = self.new_reader(notify_size=185)
        link = self.linked(device)
        link.apdu(bytes.fromhex("80EE00000000C8"))
        self.assertEqual(max(len(n) for n in link.gatt.notifications[4]), 185)
        self.assertEqual(link.gatt.chunk_size, 185)

    def test_the_reader_remembers_the_long_term_key_across_connections(self):
        device = self.new_reader()
        first = self.linked(device)
        self.control.set_connected(False, device)
        self.control.set_connected(True, device)
        again = pemra_host.Link(first.gatt, ltk=first.ltk)
        self.assertEqual(len(again.start_session()), 21)
        self.assertEqual(again.exchange(b"\x10")[0], 0)
        self.assertEqual(len(self.control.log("key-exchange", device)), 1)

    def test_a_reader_without_a_key_for_the_host_answers_the_session_key_request_01(self):
        link = pemra_host.Link(self.host(self.new_reader()), ltk=bytes(32))
        self.assertEqual(link.start_session(), b"\x01")

    def test_a_frame_that_does_not_open_is_answered_ff_and_logged(self):
        device = self.new_reader()
        link = self.linked(device)
        link.session_key = bytes(32)
        self.assertEqual(link.gatt.transfer(link.seal(b"\x10")), b"\xff")
        self.assertEqual([e.detail for e in self.control.log("decrypt-failure", device)], ["tag"])

    def test_the_card_status_is_notified_when_the_host_listens_and_when_it_changes(self):
        device = self.new_reader()
        gatt = self.host(device)
        self.assertTrue(pemra_host.run_until(lambda: gatt.notifications[8] == [b"\x01\x06"], 2))
        self.control.remove_card(device)
        self.control.insert_card(device)
        self.assertTrue(pemra_host.run_until(lambda: len(gatt.notifications[8]) == 3, 2))
        self.assertEqual(gatt.notifications[8][1:], [b"\x01\x02", b"\x01\x06"])

    def test_card_commands_fail_without_a_card_or_without_power(self):
        device = self.new_reader(card=False)
        link = pemra_host.Link(self.host(device)).connect(power_card=False)
        self.assertEqual(link.exchange(b"\x02\x01"), b"\x01")
        self.control.insert_card(device)
        self.assertEqual(link.exchange(b"\x02\x05" + SELECT_PUBLIC_FILE), b"\x02")
        self.assertEqual(link.exchange(b"\x02\x04"), b"\x00")

    def test_indications_get_no_answer_and_are_logged(self):
        device = self.new_reader()
        gatt = self.host(device)
        for indication in (b"\x07", b"\x08", b"\x01\x00"):
            gatt.write(9, indication)
        gatt.settle(0.2)
        self.assertEqual(gatt.notifications[4], [])
        self.assertEqual([e.data for e in self.control.log("indication", device)], [b"\x07", b"\x08", b"\x01\x00"])


class CardCommands(SimTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.link = pemra_host.Link(pemra_host.Gatt(cls.bus.address, simctl.DEFAULT_READER))
        cls.link.gatt.start_notify(4, 8)
        cls.link.connect()

    @classmethod
    def tearDownClass(cls):
        cls.link.gatt.close()
        super().tearDownClass()

    def setUp(self):
        self.assertEqual(self.link.exchange(b"\x02\x01")[0], 0)

    def apdu(self, hex_command):
        return self.link.apdu(bytes.fromhex(hex_command)).hex().upper()

    def test_answers_follow_iso_7816_4(self):
        table = [
            ("00A4000C023F00", "9000"),                    # SELECT MF
            ("00A4040C09F050454D524153494D", "9000"),      # SELECT by AID, no answer
            ("00A4040C03F05045", "6A82"),                  # unknown AID
            ("00A4020C025001", "9000"),                    # SELECT EF by id
            ("00B0012C02", "6B00"),                        # offset 300: past the end
            ("00B0012A05", "2A2B6282"),                    # the last 2 bytes, then end of file
            ("00B0", "6700"),                              # too short to be a command
            ("00CA000000", "6D00"),                        # unknown instruction
            ("B0B0000004", "6E00"),                        # unknown class
            ("00A40C0C023F00", "6A86"),                    # wrong P1
            ("00A4000C03", "6700"),                        # Lc without data
            ("00840000", "6700"),                          # GET CHALLENGE without Le
        ]
        for command, expected in table:
            with self.subTest(command=command):
                self.assertEqual(self.apdu(command), expected)

    def test_read_binary_with_le_0_reads_256_bytes(self):
        self.apdu("00A4040C09F050454D524153494D")
        self.apdu("00A4020C025001")
        self.assertEqual(self.apdu("00B0000000"), bytes(range(256)).hex().upper() + "9000")

    def test_verify_counts_wrong_pins_and_opens_the_protected_file(self):
        self.apdu("00A4040C09F050454D524153494D")
        self.apdu("00A4020C025002")
        self.assertEqual(self.apdu("00B0000002"), "6982")
        self.assertEqual(self.apdu("0020008106313131313131"), "63C2")
        self.assertEqual(self.apdu("0020008100"[:8]), "63C2")
        self.assertEqual(self.apdu("0020008106313233343536"), "9000")
        self.assertEqual(self.apdu("00B0000003"), b"PIN".hex().upper() + "9000")
        self.assertEqual(self.apdu("0020008200"[:8]), "6A88")

    def test_get_challenge_answers_as_many_random_bytes_as_asked(self):
        first, second = self.apdu("0084000008"), self.apdu("0084000008")
        self.assertEqual((len(first), first[-4:]), (20, "9000"))
        self.assertNotEqual(first, second)

    def test_echo_answers_its_data_or_le_counting_bytes(self):
        self.assertEqual(self.apdu("80EE000003AABBCC"), "AABBCC9000")
        self.assertEqual(self.apdu("80EE000003"), "0001029000")
        self.assertEqual(self.apdu("80EE0100"), "6A86")
        self.assertEqual(self.apdu("80EE000000FFFF"), "6700")  # more than the reader carries
