"""pemra_info against a ready reader: the whole stack, on the stand-in and on
the real bluetoothd."""

from driver_stack import DriverStackTestCase, wait_until
from real_bluez import RealBluezTestCase

VENDOR_ATTR_IEEE = 0x7B020


class WithAReadyReaderScenarios:
    def reader_ready(self):
        scard = self.scard
        rc, card, _ = scard.SCardConnect(self.context, self.reader, scard.SCARD_SHARE_DIRECT, 0)
        if rc != 0:
            return False
        rc, _ = scard.SCardGetAttrib(card, VENDOR_ATTR_IEEE)
        scard.SCardDisconnect(card, scard.SCARD_LEAVE_CARD)
        return rc == 0

    def test_prints_the_readers_address_and_descriptor_entries(self):
        wait_until(self.reader_ready, timeout=self.CARD_TIMEOUT, what="the reader's set-up")
        status, output, errors = self.run_pemra_info()
        self.assertEqual(status, 0, errors)
        # The stand-in's reader serves MAC, Serial (20 and the last four MAC
        # bytes), Name and Firmware entries.
        mac = self.reader_address.lower()
        lines = output.splitlines()
        self.assertEqual(lines[:3], [f"bluetooth addr is set to {self.reader_address}", f"MAC:{mac}",
                                     "Serial:20" + mac.replace(":", "")[4:]])
        self.assertTrue(lines[3].startswith("Name:Pemra"), lines)
        self.assertEqual(lines[4:], ["Firmware:sim-1"])

    def test_a_reader_number_above_zero_finds_no_reader(self):
        wait_until(self.reader_ready, timeout=self.CARD_TIMEOUT, what="the reader's set-up")
        self.assertEqual(self.run_pemra_info("1"), (1, "", "no bluetooth Pemra found\n"))


class WithAReadyReader(WithAReadyReaderScenarios, DriverStackTestCase):
    pass


class WithAReadyReaderOnRealBluez(WithAReadyReaderScenarios, RealBluezTestCase):
    pass
