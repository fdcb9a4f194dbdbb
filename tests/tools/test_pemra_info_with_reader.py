"""pemra_info against a ready reader: the whole stack with the stand-in."""

import os
import subprocess

from driver_stack import DriverStackTestCase, wait_until

from smartcard import scard


class WithAReadyReader(DriverStackTestCase):
    def run_tool(self, *args):
        return subprocess.run([os.environ["PEMRA_INFO"], *args], stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=60)

    def reader_ready(self):
        rc, card, _ = scard.SCardConnect(self.context, self.reader, scard.SCARD_SHARE_DIRECT, 0)
        if rc != 0:
            return False
        rc, _ = scard.SCardGetAttrib(card, 0x7B020)
        scard.SCardDisconnect(card, scard.SCARD_LEAVE_CARD)
        return rc == 0

    def test_prints_the_readers_address_and_descriptor_entries(self):
        wait_until(self.reader_ready, what="the reader's set-up")
        result = self.run_tool()
        self.assertEqual(result.returncode, 0, result.stderr)
        # The stand-in serves MAC, Serial (20 and the last four MAC bytes),
        # Name and Firmware entries.
        self.assertEqual(result.stdout.decode().splitlines(), [
            "bluetooth addr is set to E1:A5:00:00:00:01",
            "MAC:e1:a5:00:00:00:01",
            "Serial:2000000001",
            "Name:Pemra-0001",
            "Firmware:sim-1",
        ])

    def test_a_reader_number_above_zero_finds_no_reader(self):
        wait_until(self.reader_ready, what="the reader's set-up")
        result = self.run_tool("1")
        self.assertEqual((result.returncode, result.stdout), (1, b""))
        self.assertEqual(result.stderr, b"no bluetooth Pemra found\n")
