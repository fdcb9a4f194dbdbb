"""Ten thousand APDUs in a row through pcscd: none fails, and the daemon with
the driver in it does not grow."""

import os
import sys

from smartcard import scard

from driver_stack import DriverStackTestCase, wait_until

APDUS = 10_000
WARM_UP = 1_000
# Both framings: short messages in one write, long ones in chunks.
SIZES = (1, 12, 100, 250)
# The allocator's slack settling (some 150 KiB seen); a leak of 100 bytes
# an APDU would add some 900 KiB over the run.
GROWTH_BOUND_KIB = 384


def echo(data):
    """The stand-in card's echo command."""
    return [0x80, 0xEE, 0x00, 0x00, len(data), *data]


class TenThousandApdus(DriverStackTestCase):
    def failures_in(self, card, protocol, first, count):
        failures = []
        for i in range(first, first + count):
            data = [(i + j) & 0xFF for j in range(SIZES[i % len(SIZES)])]
            rc, response = scard.SCardTransmit(card, protocol, echo(data))
            if rc != 0 or response != data + [0x90, 0x00]:
                failures.append((i, rc))
        return failures

    def test_ten_thousand_apdus_without_a_failure_and_with_flat_memory(self):
        wait_until(self.card_present, what="the card")
        rc, card, protocol = scard.SCardConnect(self.context, self.reader, scard.SCARD_SHARE_SHARED,
                                                scard.SCARD_PROTOCOL_T0 | scard.SCARD_PROTOCOL_T1)
        self.assertEqual(rc, 0, scard.SCardGetErrorMessage(rc))
        self.addCleanup(scard.SCardDisconnect, card, scard.SCARD_LEAVE_CARD)
        failures = self.failures_in(card, protocol, 0, WARM_UP)
        warm = self.pcscd.rss_kib()
        failures += self.failures_in(card, protocol, WARM_UP, APDUS - WARM_UP)
        end = self.pcscd.rss_kib()
        print(f"\npcscd resident size: {warm} KiB after {WARM_UP} APDUs, {end} KiB after {APDUS}",
              file=sys.stderr)
        self.assertEqual(failures, [])
        # AddressSanitizer's quarantine holds freed memory back on purpose.
        if "ASAN_OPTIONS" not in os.environ:
            self.assertLessEqual(end - warm, GROWTH_BOUND_KIB)
