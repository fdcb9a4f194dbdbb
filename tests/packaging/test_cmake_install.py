"""`cmake --install` of this build, staged with DESTDIR: the driver where
pcscd looks for non-USB drivers, a reader file naming it, the tool and its
man page under the prefix, and the system bus policy."""

import os
import shutil
import stat
import subprocess
import tempfile
import unittest

from packaging_env import env, reader_file_fields

PREFIX = "/usr/local"


class CMakeInstall(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.destdir = tempfile.mkdtemp(prefix="pemra-install-")
        result = subprocess.run(
            ["cmake", "--install", env("PEMRA_BUILD_DIR"), "--prefix", PREFIX],
            env=dict(os.environ, DESTDIR=cls.destdir),
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        cls.install_log = result.stdout
        if result.returncode != 0:
            shutil.rmtree(cls.destdir, ignore_errors=True)
            raise AssertionError("cmake --install failed:\n" + result.stdout)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.destdir, ignore_errors=True)

    def staged(self, path):
        return os.path.join(self.destdir, path.lstrip("/"))

    def installed_files(self):
        found = set()
        for folder, _, files in os.walk(self.destdir):
            for name in files:
                found.add("/" + os.path.relpath(os.path.join(folder, name), self.destdir))
        return found

    def mode(self, path):
        return stat.S_IMODE(os.stat(self.staged(path)).st_mode)

    def test_installs_exactly_the_driver_reader_file_tool_man_page_and_policy(self):
        driver_dir = env("PEMRA_PCSC_DRIVER_DIR")
        self.assertEqual(self.installed_files(), {
            f"{driver_dir}/libpemra_ifd.so",
            f"{env('PEMRA_READER_CONF_DIR')}/pemra-ble",
            f"{PREFIX}/bin/pemra_info",
            f"{PREFIX}/share/man/man1/pemra_info.1",
            f"{env('PEMRA_DBUS_POLICY_DIR')}/pemra-ifd.conf",
        }, self.install_log)

    def test_driver_goes_to_the_serial_folder_beside_pcscds_usb_drivers(self):
        usbdropdir = subprocess.run(["pkg-config", "--variable=usbdropdir", "libpcsclite"],
                                    stdout=subprocess.PIPE, text=True, check=True).stdout.strip()
        self.assertEqual(env("PEMRA_PCSC_DRIVER_DIR"), os.path.join(usbdropdir, "serial"))

    def test_reader_file_names_the_installed_driver(self):
        fields = reader_file_fields(self.staged(f"{env('PEMRA_READER_CONF_DIR')}/pemra-ble"))
        self.assertEqual(fields["FRIENDLYNAME"], '"Pemra BLE Reader"')
        self.assertIn(":", fields["DEVICENAME"])
        self.assertEqual(fields["LIBPATH"], f"{env('PEMRA_PCSC_DRIVER_DIR')}/libpemra_ifd.so")
        self.assertTrue(os.path.isfile(self.staged(fields["LIBPATH"])))

    def test_tool_is_executable_and_the_rest_is_world_readable(self):
        self.assertEqual(self.mode(f"{PREFIX}/bin/pemra_info"), 0o755)
        for path in (f"{env('PEMRA_READER_CONF_DIR')}/pemra-ble",
                     f"{PREFIX}/share/man/man1/pemra_info.1",
                     f"{env('PEMRA_DBUS_POLICY_DIR')}/pemra-ifd.conf"):
            self.assertEqual(self.mode(path), 0o644, path)

    def test_policy_is_the_one_in_the_source_tree(self):
        with open(self.staged(f"{env('PEMRA_DBUS_POLICY_DIR')}/pemra-ifd.conf"), "rb") as staged, \
             open(os.path.join(env("PEMRA_SOURCE_DIR"), "packaging/pemra-ifd.conf"), "rb") as source:
            self.assertEqual(staged.read(), source.read())

    def test_man_page_and_binaries_carry_the_project_version(self):
        version = env("PEMRA_VERSION")
        with open(self.staged(f"{PREFIX}/share/man/man1/pemra_info.1")) as page:
            self.assertIn(f'"pemra {version}"', page.readline())
        for binary in (f"{PREFIX}/bin/pemra_info",
                       f"{env('PEMRA_PCSC_DRIVER_DIR')}/libpemra_ifd.so"):
            with open(self.staged(binary), "rb") as f:
                self.assertIn(f"pemra {version}\0".encode(), f.read(), binary)

    def test_installed_tool_runs_without_the_build_tree(self):
        result = subprocess.run([self.staged(f"{PREFIX}/bin/pemra_info"), "1", "2"],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.assertEqual(result.returncode, 1)
        self.assertIn("Usage", result.stderr)


if __name__ == "__main__":
    unittest.main()
