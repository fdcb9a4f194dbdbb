"""Proves the VM test bed: two real bluetoothd pair over btvirt's air as the
README tells a user to, and Debian's pcscd in the host guest loads the
driver, which registers with the host's bluetoothd on a bus with a user's
machine's policy.

    cd sim/vm && /usr/bin/python3 -m unittest -v test_vm_bed
PEMRA_DRIVER names the driver (default: build/driver/libpemra_ifd.so of this
repository, which the guests see at the same path); PEMRA_BUILD_VM the image
folder (default: build-vm/).
"""

import os
import signal
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import bed  # noqa: E402

DRIVER = os.environ.get("PEMRA_DRIVER", os.path.join(bed.REPO, "build", "driver", "libpemra_ifd.so"))
POLICY = os.path.join(bed.REPO, "packaging", "pemra-ifd.conf")
READER_NAME = "Pemra BLE Reader"
# Any service UUID will do for the peripheral's advertising.
ADVERTISED_UUID = "8d0b5c3e-6a5f-4c1e-9a57-2f4d1b7e0c11"
SCARD_SCOPE_USER = 0
SCARD_S_SUCCESS = 0
BUILD_VM = os.environ.get("PEMRA_BUILD_VM", bed.image.DEFAULT_BUILD_DIR)
SKIP = bed.skip_reason(BUILD_VM)


def device_path(address):
    return "/org/bluez/hci0/dev_" + address.replace(":", "_")


@unittest.skipIf(SKIP, SKIP)
class VmBedTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # gatt-database.c's debug lines show the driver's registration.
        cls.bed = cls.enterClassContext(bed.VmBed(BUILD_VM, bluetoothd_args=["--debug=src/gatt-database.c"]))
        print(f"\nbed up: {cls.bed.timings}", file=sys.stderr)

    def run(self, result=None):
        outcome = super().run(result)
        if result is not None and not result.wasSuccessful():
            print(self.bed.report(), file=sys.stderr)
        return outcome

    def test_agent_requests(self):
        reader = self.bed.reader
        self.assertEqual(reader.run("echo out; echo err >&2; exit 3", check=False), (3, "out\n", "err\n"))
        with self.assertRaisesRegex(bed.GuestError, "timed out after 1 s"):
            reader.run(["sleep", "30"], timeout=1)

        pid = reader.spawn("echo started; exec sleep 600", log="sleeper.log")
        reader.wait_for(f"grep -q started {reader.guest_work_dir}/logs/sleeper.log", timeout=30)
        self.assertEqual(reader.kill(pid, timeout=30), -signal.SIGTERM)

        self.assertEqual(reader.call("os.path", "join", "/var", "lib"), "/var/lib")
        with self.assertRaisesRegex(bed.GuestError, "ZeroDivisionError"):
            reader.call("operator", "truediv", 1, 0)
        with self.assertRaisesRegex(bed.GuestError, "still running"):
            reader.call("time", "sleep", 60, timeout=1)
        agent = reader.run(["pgrep", "-f", "^/usr/bin/python3 .*/agent.py$"]).stdout
        self.assertEqual(reader.call("os", "getpid"), int(agent))

        reader.write_file("/var/lib/pemra-ble-probe", b"\x00\xffkey", mode=0o600)
        self.assertEqual(reader.read_file("/var/lib/pemra-ble-probe"), b"\x00\xffkey")
        self.assertFalse(os.path.exists("/var/lib/pemra-ble-probe"), "the guest's /var is its own")

    def test_pairing_as_the_readme_says(self):
        reader, host = self.bed.reader, self.bed.host
        reader.start_peripheral(ADVERTISED_UUID)
        self.addCleanup(reader.stop_peripheral)
        address = reader.address()

        started = time.monotonic()
        transcript = host.pair_as_readme(address)
        print(f"\npaired in {time.monotonic() - started:.1f} s", file=sys.stderr)
        self.assertIn("Pairing successful", transcript)

        info = host.run(["bluetoothctl", "info", address]).stdout
        self.assertIn("Paired: yes", info)
        self.assertIn("Connected: yes", info)
        # bluetoothctl 5.66's info leaves ServicesResolved out: ask bluetoothd.
        host.wait_for(f"busctl get-property org.bluez {device_path(address)} org.bluez.Device1 ServicesResolved"
                      " | grep -qx 'b true'", timeout=60)

    def test_pcscd_loads_the_driver_against_bluetoothd(self):
        host = self.bed.host
        self.assertTrue(os.path.exists(DRIVER), f"build the driver first: {DRIVER}")
        host.add_bus_policy(POLICY)
        reader_conf = host.install_reader_conf(READER_NAME, DRIVER)
        pid = host.spawn(["pcscd", "--foreground", "--debug", "-c", reader_conf], log="pcscd.log")
        # SIGINT: pcscd closes its readers before it exits.
        self.addCleanup(host.kill, pid, signal.SIGINT, timeout=60)

        host.wait_for("test -S /run/pcscd/pcscd.comm", timeout=60)
        context = host.call("smartcard.scard", "SCardEstablishContext", SCARD_SCOPE_USER, timeout=60)
        self.assertEqual(context[0], SCARD_S_SUCCESS)
        self.addCleanup(host.call, "smartcard.scard", "SCardReleaseContext", context[1])
        readers = bed.wait_until(lambda: self._pemra_readers(context[1]), timeout=120,
                                 what="the Pemra reader", interval=0.5)
        self.assertEqual(readers, [f"{READER_NAME} 00 00"])
        host.wait_for(f"grep -q 'GATT application registered: ' {host.guest_work_dir}/logs/bluetoothd.log", 60)
        log = host.log("pcscd.log")
        self.assertIn("create channel by name pemra:0", log)
        self.assertNotIn("cannot register", log)

        # bluetoothd releases the driver's profile when it stops: the call
        # that BlueZ's own policy refuses and the project's allows.
        host.stop_bluetoothd()
        self.assertIn("profile_release() Releasing", host.log("bluetoothd.log"))
        for name in ("pcscd.log", "bluetoothd.log", "dbus.log"):
            self.assertNotIn("AccessDenied", host.log(name), name)
            self.assertNotIn("Rejected send message", host.log(name), name)
        host.start_bluetoothd()
        host.wait_for_powered_adapter()

    def _pemra_readers(self, context):
        rc, readers = self.bed.host.call("smartcard.scard", "SCardListReaders", context, [])
        return [name for name in readers if name.startswith(READER_NAME)] if rc == SCARD_S_SUCCESS else []


if __name__ == "__main__":
    unittest.main()
