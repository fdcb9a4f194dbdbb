"""The package installed on this machine as a user would (dpkg -i), then a
private pcscd in the foreground that reads the package's reader file and
loads the installed driver: the reader appears to PC/SC clients, pcsc_scan
and the installed pemra_info. Then dpkg -r keeps only the reader file,
dpkg --purge leaves nothing, and whatever the package replaced (files at
its paths, the key folder) is put back.

The test methods run in the order of their names and build on each other.
Needs root. The machine's own pcscd, its /run/pcscd and the system bus are
not touched: the private pcscd runs in its own mount namespace on a socket
of its own, with a system bus address where no bus listens.
"""

import glob
import os
import shutil
import subprocess
import tempfile
import unittest

from smartcard import scard

import stack
from packaging_env import env, reader_file_fields, run

PACKAGE = "pemra-ble"
KEY_DIR = "/var/lib/pemra-ble"
DRIVER = "/usr/lib/pcsc/drivers/serial/libpemra_ifd.so"
READER_FILE = "/etc/reader.conf.d/pemra-ble"
READER = "Pemra BLE Reader 00 00"
DPKG_ENV = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
# dpkg-query forgets a purged package, or keeps it as not installed.
NOT_INSTALLED = ("not known", "unknown ok not-installed")


def package_status():
    result = subprocess.run(["dpkg-query", "-W", "-f=${Status}", PACKAGE],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    return result.stdout.strip() if result.returncode == 0 else "not known"


def package_files(deb):
    """The regular files of the .deb, as absolute paths."""
    listing = subprocess.run(["dpkg-deb", "--contents", deb], stdout=subprocess.PIPE, text=True,
                             check=True).stdout
    return [line.split()[5][1:] for line in listing.splitlines() if line.startswith("-")]


class MachineState:
    """Moves aside what the package would replace or what purging would
    delete, and puts it back."""

    def __init__(self, paths):
        self.backup = tempfile.mkdtemp(prefix="pemra-restore-")
        self.saved = []
        for path in paths:
            if os.path.lexists(path):
                target = os.path.join(self.backup, str(len(self.saved)))
                shutil.move(path, target)
                self.saved.append((path, target))

    def restore(self):
        for path, target in self.saved:
            if os.path.isdir(path) and not os.path.islink(path):
                shutil.rmtree(path)
            elif os.path.lexists(path):
                os.unlink(path)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            shutil.move(target, path)
        shutil.rmtree(self.backup, ignore_errors=True)


class InstalledPcscd(stack.PrivatePcscd):
    """The private pcscd of sim/stack.py, reading a given reader folder
    instead of writing one of its own."""

    def __init__(self, conf_dir, workdir, env):
        super().__init__(DRIVER, workdir, env=env)
        self.conf_dir = conf_dir

    def _write_reader_conf(self):
        return self.conf_dir


@unittest.skipUnless(os.geteuid() == 0, "installs a package: run as root")
class InstalledPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if package_status() not in NOT_INSTALLED:
            raise unittest.SkipTest(f"{PACKAGE} is already on this machine ({package_status()}); "
                                    "this test leaves it alone")
        cls.deb = glob.glob(os.path.join(env("PEMRA_DEB_DIR"), f"{PACKAGE}_*.deb"))[0]
        cls.files = package_files(cls.deb)
        cls.workdir = tempfile.mkdtemp(prefix="pemra-deb-install-")
        cls.pcscd = None
        cls.context = None
        cls.machine = MachineState(cls.files + [KEY_DIR])
        try:
            installed = run(["dpkg", "-i", cls.deb], env=DPKG_ENV)
            if installed.returncode != 0:
                raise AssertionError("dpkg -i failed:\n" + installed.stdout)
            cls.start_pcscd()
        except BaseException:
            cls.clean_up()
            raise

    @classmethod
    def start_pcscd(cls):
        """pcscd as the package expects it, on the package's reader file
        alone (the machine's folder may hold other drivers' files)."""
        conf_dir = os.path.join(cls.workdir, "reader.conf.d")
        os.makedirs(conf_dir)
        owned = run(["dpkg", "-L", PACKAGE]).stdout.split()
        for path in owned:
            if os.path.dirname(path) == "/etc/reader.conf.d" and os.path.isfile(path):
                shutil.copy(path, conf_dir)
        no_bus = {"DBUS_SYSTEM_BUS_ADDRESS": f"unix:path={cls.workdir}/no-bus"}
        cls.pcscd = InstalledPcscd(conf_dir, cls.workdir, no_bus).start()
        rc, cls.context = scard.SCardEstablishContext(scard.SCARD_SCOPE_USER)
        assert rc == 0, hex(rc & 0xFFFFFFFF)

    @classmethod
    def clean_up(cls):
        try:
            if cls.context is not None:
                scard.SCardReleaseContext(cls.context)
                cls.context = None
            if cls.pcscd is not None:
                cls.pcscd.stop()
        finally:
            if package_status() not in NOT_INSTALLED:
                run(["dpkg", "--purge", PACKAGE], env=DPKG_ENV)
            cls.machine.restore()
            shutil.rmtree(cls.workdir, ignore_errors=True)

    @classmethod
    def tearDownClass(cls):
        cls.clean_up()

    def run(self, result=None):
        outcome = super().run(result)
        if result is not None and not result.wasSuccessful() and self.pcscd is not None:
            print("---- pcscd log ----\n" + self.pcscd.log()[-20000:])
        return outcome

    def test_a_package_is_installed_with_its_files(self):
        self.assertEqual(package_status(), "install ok installed")
        version = run(["dpkg-query", "-W", "-f=${Version}", PACKAGE]).stdout
        self.assertEqual(version, env("PEMRA_VERSION"))
        for path in self.files:
            self.assertTrue(os.path.isfile(path), path)
        self.assertEqual(reader_file_fields(READER_FILE)["LIBPATH"], DRIVER)
        self.assertTrue(os.path.isfile("/usr/share/dbus-1/system.d/pemra-ifd.conf"))
        self.assertTrue(os.access("/usr/bin/pemra_info", os.X_OK))

    def test_b_pcscd_lists_the_reader_of_the_installed_driver(self):
        self.assertEqual(stack.wait_for_reader(self.context), READER)
        self.assertIn("create channel by name pemra:0", self.pcscd.log())

    def test_c_pcsc_scan_shows_the_reader(self):
        stack.wait_for_reader(self.context)
        scan = run(["pcsc_scan", "-r"], timeout=30)
        self.assertEqual(scan.returncode, 0, scan.stdout)
        self.assertIn(READER, scan.stdout)

    def test_d_installed_pemra_info_reaches_the_driver_through_pcscd(self):
        # No bus, so no reader session: the driver answers the address
        # request with a failure, which is pemra_info's "not found".
        stack.wait_for_reader(self.context)
        info = subprocess.run(["/usr/bin/pemra_info"], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True, timeout=60)
        self.assertEqual((info.returncode, info.stdout, info.stderr),
                         (1, "", "no bluetooth Pemra found\n"))

    def test_e_pcscd_stops_cleanly_with_the_driver(self):
        cls = type(self)
        scard.SCardReleaseContext(cls.context)
        cls.context = None
        status = cls.pcscd.stop()
        self.assertIsNotNone(status)
        self.assertGreaterEqual(status, 0, "pcscd died of a signal")
        self.assertIn("close channel", cls.pcscd.log())

    def test_f_remove_keeps_only_the_reader_file(self):
        removed = run(["dpkg", "-r", PACKAGE], env=DPKG_ENV)
        self.assertEqual(removed.returncode, 0, removed.stdout)
        self.assertEqual(package_status(), "deinstall ok config-files")
        self.assertEqual([p for p in self.files if os.path.lexists(p)], [READER_FILE])

    def test_g_purge_leaves_nothing(self):
        os.makedirs(KEY_DIR, mode=0o700, exist_ok=True)
        with open(os.path.join(KEY_DIR, "C0:FF:EE:00:11:22"), "wb") as key:
            key.write(bytes(32))
        purged = run(["dpkg", "--purge", PACKAGE], env=DPKG_ENV)
        self.assertEqual(purged.returncode, 0, purged.stdout)
        self.assertIn(package_status(), NOT_INSTALLED)
        self.assertEqual([p for p in self.files if os.path.lexists(p)], [])
        self.assertFalse(os.path.lexists("/usr/share/doc/pemra-ble"))
        self.assertFalse(os.path.lexists(KEY_DIR), "purging keeps the reader keys")


if __name__ == "__main__":
    unittest.main()
