"""The Debian package built from this tree by packaging/build-deb: its file
list, control fields and maintainer scripts, the one version that the
package, the library, the tool, the changelogs and the man page share, the
driver's exports, and lintian's verdict."""

import glob
import gzip
import os
import re
import shutil
import subprocess
import tempfile
import unittest

from packaging_env import env, reader_file_fields, run

HERE = os.path.dirname(os.path.abspath(__file__))
DRIVER = "usr/lib/pcsc/drivers/serial/libpemra_ifd.so"
READER_FILE = "etc/reader.conf.d/pemra-ble"


def the_deb():
    debs = [d for d in glob.glob(os.path.join(env("PEMRA_DEB_DIR"), "pemra-ble_*.deb"))]
    if len(debs) != 1:
        raise AssertionError(f"expected one pemra-ble .deb in {env('PEMRA_DEB_DIR')}, found {debs}")
    return debs[0]


def field(deb, name):
    return subprocess.run(["dpkg-deb", "--field", deb, name], stdout=subprocess.PIPE, text=True,
                          check=True).stdout.strip()


class DebPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.deb = the_deb()
        cls.tree = tempfile.mkdtemp(prefix="pemra-deb-")
        subprocess.run(["dpkg-deb", "--extract", cls.deb, cls.tree], check=True)
        cls.control = os.path.join(cls.tree, "DEBIAN")
        subprocess.run(["dpkg-deb", "--control", cls.deb, cls.control], check=True)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tree, ignore_errors=True)

    def path(self, relative):
        return os.path.join(self.tree, relative)

    def test_contents_are_the_expected_files_with_their_modes(self):
        listing = run(["dpkg-deb", "--contents", self.deb])
        self.assertEqual(listing.returncode, 0, listing.stdout)
        print("\n" + listing.stdout)
        actual = [" ".join(line.split()[i] for i in (0, 1, 5)) for line in listing.stdout.splitlines()]
        with open(os.path.join(HERE, "expected-contents.txt")) as expected:
            self.assertEqual(actual, expected.read().splitlines())

    def test_version_is_the_projects(self):
        self.assertEqual(field(self.deb, "Version"), env("PEMRA_VERSION"))
        self.assertEqual(os.path.basename(self.deb),
                         f"pemra-ble_{env('PEMRA_VERSION')}_{field(self.deb, 'Architecture')}.deb")

    def test_changelogs_start_with_the_projects_version(self):
        debian_changelog = os.path.join(env("PEMRA_SOURCE_DIR"), "packaging/debian/changelog")
        version = subprocess.run(["dpkg-parsechangelog", "-l", debian_changelog, "-S", "Version"],
                                 stdout=subprocess.PIPE, text=True, check=True).stdout.strip()
        self.assertEqual(version, env("PEMRA_VERSION"))
        with open(os.path.join(env("PEMRA_SOURCE_DIR"), "CHANGELOG.md")) as changelog:
            releases = re.findall(r"^## (\S+)", changelog.read(), re.MULTILINE)
        self.assertEqual(releases[0], env("PEMRA_VERSION"))
        with gzip.open(self.path("usr/share/doc/pemra-ble/changelog.gz"), "rt") as installed:
            self.assertTrue(installed.readline().startswith(f"pemra-ble ({env('PEMRA_VERSION')})"))

    def test_library_tool_and_man_page_carry_the_version(self):
        ident = f"pemra {env('PEMRA_VERSION')}\0".encode()
        for binary in (DRIVER, "usr/bin/pemra_info"):
            with open(self.path(binary), "rb") as f:
                self.assertIn(ident, f.read(), binary)
        with gzip.open(self.path("usr/share/man/man1/pemra_info.1.gz"), "rt") as page:
            self.assertIn(f'"pemra {env("PEMRA_VERSION")}"', page.readline())

    def test_depends_on_pcscd_and_recommends_bluez(self):
        depends = [d.strip().split()[0] for d in field(self.deb, "Depends").split(",")]
        self.assertIn("pcscd", depends)
        self.assertIn("libpcsclite1", depends)  # pemra_info
        self.assertIn("bluez", field(self.deb, "Recommends"))

    def test_reader_file_is_a_conffile_naming_the_packaged_driver(self):
        with open(os.path.join(self.control, "conffiles")) as conffiles:
            self.assertEqual(conffiles.read().split(), ["/" + READER_FILE])
        fields = reader_file_fields(self.path(READER_FILE))
        self.assertEqual(fields, {"FRIENDLYNAME": '"Pemra BLE Reader"', "DEVICENAME": "pemra:0",
                                  "LIBPATH": "/" + DRIVER})

    def test_policy_file_is_the_one_in_the_source_tree(self):
        with open(self.path("usr/share/dbus-1/system.d/pemra-ifd.conf"), "rb") as packaged, \
             open(os.path.join(env("PEMRA_SOURCE_DIR"), "packaging/pemra-ifd.conf"), "rb") as source:
            self.assertEqual(packaged.read(), source.read())

    def test_purge_forgets_the_keys_and_nothing_else_runs_on_install(self):
        scripts = sorted(f for f in os.listdir(self.control)
                         if f in ("preinst", "postinst", "prerm", "postrm"))
        self.assertEqual(scripts, ["postrm"])
        with open(os.path.join(self.control, "postrm")) as postrm:
            self.assertIn("rm -rf /var/lib/pemra-ble", postrm.read())

    def test_packaged_driver_exports_only_the_entry_points(self):
        check = run([os.path.join(env("PEMRA_SOURCE_DIR"), "tests/driver/check_exports.sh"),
                     self.path(DRIVER)])
        self.assertEqual(check.returncode, 0, check.stdout)

    def test_packaged_driver_does_not_link_the_pcsc_client_library(self):
        dynamic = run(["readelf", "-d", self.path(DRIVER)]).stdout
        self.assertNotIn("libpcsclite", dynamic)
        self.assertIn("NODELETE", dynamic)

    def test_lintian_finds_no_error_and_no_warning(self):
        changes = the_deb()[:-len(".deb")] + ".changes"
        result = run(["lintian", "--fail-on", "error,warning", "--info", "--display-info",
                      "--pedantic", changes if os.path.exists(changes) else self.deb])
        print("\n" + result.stdout)
        self.assertEqual(result.returncode, 0, result.stdout)


if __name__ == "__main__":
    unittest.main()
