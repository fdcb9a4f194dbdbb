"""The driver in Debian's pcscd with no bus and so no reader session: one
reader listed, no card, the feature answers, and a clean shutdown."""

import os
import shutil
import unittest

from smartcard import scard

import stack

SCARD_E_NO_SMARTCARD = 0x8010000C
SCARD_E_UNSUPPORTED_FEATURE = 0x8010001F
SCARD_ATTR_MAXINPUT = 0x7A007
IOCTL_TLV_PROPERTIES = 0x11223344


def u32(code):
    return code & 0xFFFFFFFF


class PcscdWithEmptySlot(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.workdir = stack.make_workdir()
        # No bus at all: the driver must still answer what needs no reader.
        no_bus = {"DBUS_SYSTEM_BUS_ADDRESS": f"unix:path={cls.workdir}/no-bus"}
        cls.pcscd = stack.PrivatePcscd(os.environ["PEMRA_DRIVER"], cls.workdir, env=no_bus).start()
        rc, cls.context = scard.SCardEstablishContext(scard.SCARD_SCOPE_USER)
        assert rc == 0, hex(u32(rc))
        cls.reader = stack.wait_for_reader(cls.context)

    @classmethod
    def tearDownClass(cls):
        scard.SCardReleaseContext(cls.context)
        cls.exit_status = cls.pcscd.stop()
        shutil.rmtree(cls.workdir, ignore_errors=True)

    def run(self, result=None):
        outcome = super().run(result)
        if result is not None and not result.wasSuccessful():
            print("---- pcscd log ----\n" + self.pcscd.log()[-20000:])
        return outcome

    def connect_direct(self):
        rc, handle, _ = scard.SCardConnect(self.context, self.reader, scard.SCARD_SHARE_DIRECT, 0)
        self.assertEqual(u32(rc), 0)
        self.addCleanup(scard.SCardDisconnect, handle, scard.SCARD_LEAVE_CARD)
        return handle

    def test_the_reader_is_listed_once(self):
        rc, readers = scard.SCardListReaders(self.context, [])
        self.assertEqual(rc, 0)
        self.assertEqual(readers, ["Pemra BLE Reader 00 00"])

    def test_shared_connect_finds_no_card(self):
        rc, _, _ = scard.SCardConnect(self.context, self.reader, scard.SCARD_SHARE_SHARED,
                                      scard.SCARD_PROTOCOL_T0 | scard.SCARD_PROTOCOL_T1)
        self.assertEqual(u32(rc), SCARD_E_NO_SMARTCARD)

    def test_feature_request_announces_tlv_properties(self):
        rc, features = scard.SCardControl(self.connect_direct(), scard.SCARD_CTL_CODE(3400), [])
        self.assertEqual(rc, 0)
        self.assertEqual(features, [0x12, 0x04, 0x11, 0x22, 0x33, 0x44])

    def test_tlv_properties_report_257_without_a_reader(self):
        rc, properties = scard.SCardControl(self.connect_direct(), IOCTL_TLV_PROPERTIES, [])
        self.assertEqual(rc, 0)
        self.assertEqual(properties, [0x0A, 0x04, 0x01, 0x01, 0x00, 0x00])

    def test_max_input_is_unsupported_while_the_slot_is_empty(self):
        rc, _ = scard.SCardGetAttrib(self.connect_direct(), SCARD_ATTR_MAXINPUT)
        self.assertEqual(u32(rc), SCARD_E_UNSUPPORTED_FEATURE)

    def test_zz_daemon_shuts_down_cleanly(self):
        # Runs last (alphabetical order): stops the daemon itself.
        scard.SCardReleaseContext(self.context)
        type(self).context = scard.SCardEstablishContext(scard.SCARD_SCOPE_USER)[1]
        status = self.pcscd.stop()
        self.assertIsNotNone(status)
        self.assertGreaterEqual(status, 0, "pcscd died of a signal")
        self.assertIn("close channel", self.pcscd.log())


if __name__ == "__main__":
    unittest.main()
