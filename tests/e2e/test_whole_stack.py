"""A PC/SC application's view of the whole stack: pcscd, the driver, BlueZ
with one reader and its card; on the stand-in and on the real bluetoothd."""

import time

from driver_stack import DriverStackTestCase, wait_until
from real_bluez import RealBluezTestCase

VENDOR_ATTR_IEEE = 0x7B020
VENDOR_ATTR_DESCRIPTOR = 0x7B021
SCARD_ATTR_MAXINPUT = 0x7A007
IOCTL_TLV_PROPERTIES = 0x11223344
IOCTL_VENDOR_RPC = 0xBB01
SCARD_E_NOT_TRANSACTED = 0x80100016
# The stand-in's reader takes messages of 1024 bytes: 1019 of plaintext,
# of which the card command header takes 2.
MAX_APDU = 1017


def echo(data):
    """The stand-in card's echo command, short or extended."""
    if len(data) <= 255:
        return [0x80, 0xEE, 0x00, 0x00, len(data), *data]
    return [0x80, 0xEE, 0x00, 0x00, 0x00, len(data) >> 8, len(data) & 0xFF, *data]


class CardThroughPcscdScenarios:
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.connected_at = time.monotonic()
        wait_until(lambda: cls.card_present(), timeout=cls.CARD_TIMEOUT, what="the card")
        cls.present_after = time.monotonic() - cls.connected_at

    def connect(self):
        rc, card, protocol = self.scard.SCardConnect(self.context, self.reader, self.scard.SCARD_SHARE_SHARED,
                                                self.scard.SCARD_PROTOCOL_T0 | self.scard.SCARD_PROTOCOL_T1)
        self.assertEqual(rc, 0, self.scard.SCardGetErrorMessage(rc))
        self.addCleanup(self.scard.SCardDisconnect, card, self.scard.SCARD_LEAVE_CARD)
        return card, protocol

    def transmit(self, apdu):
        card, protocol = self.connect()
        return self.scard.SCardTransmit(card, protocol, apdu)

    def test_the_card_is_seen_with_its_atr_soon_after_the_reader_is_ready(self):
        self.assertLess(self.present_after, self.CARD_TIMEOUT)
        card, _ = self.connect()
        rc, _, _, _, atr = self.scard.SCardStatus(card)
        self.assertEqual(rc, 0)
        self.assertEqual(atr[0], 0x3B)

    def test_apdus_of_many_sizes_come_back_whole_in_both_framings(self):
        card, protocol = self.connect()
        for size in (1, 10, 12, 13, 14, 100, 255, 256, 600, MAX_APDU - 7):
            data = [(size + i) & 0xFF for i in range(size)]
            rc, response = self.scard.SCardTransmit(card, protocol, echo(data))
            self.assertEqual(rc, 0, f"size {size}")
            self.assertEqual(response, data + [0x90, 0x00], f"size {size}")

    def test_an_apdu_one_byte_beyond_the_maximum_fails_cleanly(self):
        card, protocol = self.connect()
        rc, _ = self.scard.SCardTransmit(card, protocol, echo([0x55] * (MAX_APDU - 6)))
        self.assertEqual(rc & 0xFFFFFFFF, SCARD_E_NOT_TRANSACTED)
        rc, response = self.scard.SCardTransmit(card, protocol, echo([1, 2, 3]))
        self.assertEqual((rc, response), (0, [1, 2, 3, 0x90, 0x00]))

    def test_the_maximum_apdu_size_is_reported_both_ways(self):
        card, _ = self.connect()
        rc, value = self.scard.SCardGetAttrib(card, SCARD_ATTR_MAXINPUT)
        self.assertEqual(rc, 0)
        self.assertEqual(int.from_bytes(bytes(value), "little"), MAX_APDU)
        rc, properties = self.scard.SCardControl(card, IOCTL_TLV_PROPERTIES, [])
        self.assertEqual(rc, 0)
        self.assertEqual(properties, [0x0A, 0x04, *(MAX_APDU - 9).to_bytes(2, "little"), 0x00, 0x00])

    def test_address_and_descriptor_attributes(self):
        card, _ = self.connect()
        rc, address = self.scard.SCardGetAttrib(card, VENDOR_ATTR_IEEE)
        self.assertEqual(rc, 0)
        self.assertEqual(bytes(address), self.reader_address.encode() + b"\0")
        rc, descriptor = self.scard.SCardGetAttrib(card, VENDOR_ATTR_DESCRIPTOR)
        self.assertEqual(rc, 0)
        self.assertEqual(len(descriptor), descriptor[0] + 1)
        self.assertIn(b"MAC", bytes(descriptor))

    def test_vendor_rpc_returns_the_readers_whole_answer(self):
        card, _ = self.connect()
        rc, answer = self.scard.SCardControl(card, IOCTL_VENDOR_RPC, [0x7E, 0x01, 0x02])
        self.assertEqual(rc, 0)
        self.assertEqual(answer, [0x00, 0x02, 0x01, 0x7E])

    def test_vendor_rpc_refuses_key_messages_without_reader_traffic(self):
        card, _ = self.connect()
        self.control.clear_log()
        for message in ([], [0x03, 0x01], [0xA0]):
            rc, _ = self.scard.SCardControl(card, IOCTL_VENDOR_RPC, message)
            self.assertEqual(rc & 0xFFFFFFFF, self.scard.SCARD_E_UNSUPPORTED_FEATURE & 0xFFFFFFFF, message)
        self.assertEqual(self.control.log(event="message"), [])


class CardThroughPcscd(CardThroughPcscdScenarios, DriverStackTestCase):
    CARD_TIMEOUT = 10


class CardThroughPcscdOnRealBluez(CardThroughPcscdScenarios, RealBluezTestCase):
    CARD_TIMEOUT = 60
