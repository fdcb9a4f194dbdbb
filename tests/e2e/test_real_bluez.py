"""What only the real Bluetooth stack shows: the reader paired by the
README's steps, and the host's adapter powered off and on, as at suspend and
resume. The scenarios that run on either bed live with their stand-in
versions; e2e_real_bluez runs them all on one VM bed."""

import time

import paired_bed
from driver_stack import wait_until
from real_bluez import RealBluezTestCase


def report(figure):
    print(f"\n  figure: {figure}", flush=True)


class PairedAsTheReadmeSays(RealBluezTestCase):
    def test_the_reader_is_paired_and_connected_and_its_card_present(self):
        info = self.host.run(["bluetoothctl", "info", self.reader_address]).stdout
        self.assertIn("Paired: yes", info)
        self.assertIn("Connected: yes", info)
        self.wait_for_card()
        report(f"pairing by the README took {self.real.timings['pairing']:.1f} s; the card was present "
               f"{time.monotonic() - self.real.paired_at:.1f} s after it at the latest")
        self.assertTrue(self.apdu_works())


class AdapterPoweredOffAndOn(RealBluezTestCase):
    def test_the_card_goes_with_the_adapter_and_comes_back_with_it(self):
        self.wait_for_card()
        self.host.run(["bluetoothctl", "power", "off"])
        self.wait_for_no_card()
        self.host.run(["bluetoothctl", "power", "on"])
        powered = time.monotonic()
        self.wait_for_card()
        report(f"the card was back {time.monotonic() - powered:.1f} s after the adapter was powered on")
        wait_until(self.apdu_works, timeout=self.CARD_TIMEOUT, what="an APDU after the adapter came back")


class KeysOnBothEnds(RealBluezTestCase):
    def test_each_end_keeps_the_key_they_agreed_and_a_reader_switched_off_and_on_uses_it(self):
        self.wait_for_card()
        host_address = self.host.address()
        self.assertEqual(self.real.reader.run(["ls", f"{paired_bed.READER_KEYS}/{self.reader_address}"]).stdout.split(),
                         [host_address])
        self.assertEqual(self.host.run(["ls", self.real.driver_keys]).stdout.split(), [self.reader_address])
        self.real.restart_reader()
        self.wait_for_card()
        events = [entry.event for entry in self.control.log()]
        self.assertIn("session-key", events)
        self.assertNotIn("key-exchange", events)
        self.assertTrue(self.apdu_works())
