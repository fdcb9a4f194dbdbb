"""The system bus policy file on a private bus that has the machine's own
system bus configuration (its default policy refuses method calls that no
policy allows): with the file, a root peer may call
org.bluez.GattProfile1.Release on the driver's profile object, as bluetoothd
does; without it, it may not; the file allows nothing else."""

import os
import subprocess
import sys
import tempfile
import shutil
import unittest
import xml.etree.ElementTree as ElementTree

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

from packaging_env import env  # noqa: E402

SYSTEM_CONF = "/usr/share/dbus-1/system.conf"
PROFILE_PATH = "/com/tarvenk/pemraprofile"
PROFILE_INTERFACE = "org.bluez.GattProfile1"
ACCESS_DENIED = "org.freedesktop.DBus.Error.AccessDenied"
# What makes the stock file a daemon of the machine rather than a private
# one: its user, pid file, socket, service activation, syslog, included
# policy folders.
NOT_PRIVATE = {"user", "fork", "standard_system_servicedirs", "servicehelper", "pidfile",
               "syslog", "listen", "includedir", "include"}


def private_system_bus_config(workdir, extra_policy):
    """The stock system bus configuration on <workdir>/bus, including only
    extra_policy (or nothing) instead of the machine's policy folders."""
    tree = ElementTree.parse(SYSTEM_CONF)
    root = tree.getroot()
    for element in [e for e in root if e.tag in NOT_PRIVATE]:
        root.remove(element)
    ElementTree.SubElement(root, "listen").text = f"unix:path={workdir}/bus"
    if extra_policy:
        ElementTree.SubElement(root, "include").text = extra_policy
    path = os.path.join(workdir, "system.conf")
    with open(path, "w") as conf:
        conf.write('<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"\n'
                   ' "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">\n')
        conf.write(ElementTree.tostring(root, encoding="unicode"))
    return path


class PolicyBus:
    """A private dbus-daemon with the stock system policy (plus a file), and
    a stand-in for the driver exporting the profile object on it."""

    def __init__(self, extra_policy):
        self.workdir = tempfile.mkdtemp(prefix="pemra-policy-")
        self.address = f"unix:path={self.workdir}/bus"
        self.daemon = self.server = self.client = None
        config = private_system_bus_config(self.workdir, extra_policy)
        try:
            self.daemon = subprocess.Popen(
                ["dbus-daemon", f"--config-file={config}", "--nofork", "--print-address"],
                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            if not self.daemon.stdout.readline():
                raise RuntimeError("dbus-daemon did not start: " + self.daemon.stderr.read())
            self.server = subprocess.Popen(
                [sys.executable, os.path.join(os.path.dirname(__file__), "profile_object.py"),
                 self.address], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True)
            self.server_name = self.server.stdout.readline().strip()
            if not self.server_name:
                raise RuntimeError("the profile object did not start")
            flags = (Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
                     | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION)
            self.client = Gio.DBusConnection.new_for_address_sync(self.address, flags, None, None)
        except Exception:
            self.stop()
            raise

    def call(self, path, interface, method):
        """None when the call went through, else the D-Bus error name."""
        try:
            self.client.call_sync(self.server_name, path, interface, method, None, None,
                                  Gio.DBusCallFlags.NONE, 5000, None)
            return None
        except GLib.Error as error:
            return Gio.DBusError.get_remote_error(error)

    def stop(self):
        if self.client is not None:
            self.client.close_sync(None)
        for process in (self.server, self.daemon):
            if process is not None and process.poll() is None:
                process.terminate()
                try:
                    process.wait(10)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
            if process is not None:
                process.stdout.close()
                if process.stderr:
                    process.stderr.close()
        shutil.rmtree(self.workdir, ignore_errors=True)


@unittest.skipUnless(os.geteuid() == 0, "the policy is for root peers: run as root")
@unittest.skipUnless(os.path.exists(SYSTEM_CONF), f"{SYSTEM_CONF} missing (dbus-system-bus-common)")
class PolicyFile(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.policy = os.path.join(env("PEMRA_SOURCE_DIR"), "packaging", "pemra-ifd.conf")
        cls.with_policy = PolicyBus(cls.policy)
        try:
            cls.without_policy = PolicyBus(None)
        except Exception:
            cls.with_policy.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.with_policy.stop()
        cls.without_policy.stop()

    def test_stock_system_policy_refuses_release_on_the_profile(self):
        self.assertEqual(self.without_policy.call(PROFILE_PATH, PROFILE_INTERFACE, "Release"),
                         ACCESS_DENIED)

    def test_policy_file_lets_root_call_release_on_the_profile(self):
        self.assertIsNone(self.with_policy.call(PROFILE_PATH, PROFILE_INTERFACE, "Release"))

    def test_policy_file_allows_no_other_method_of_the_interface(self):
        self.assertEqual(self.with_policy.call(PROFILE_PATH, PROFILE_INTERFACE, "Other"),
                         ACCESS_DENIED)

    def test_policy_file_allows_release_on_no_other_object(self):
        self.assertEqual(self.with_policy.call("/com/tarvenk/elsewhere", PROFILE_INTERFACE,
                                               "Release"), ACCESS_DENIED)

    def test_policy_file_allows_no_other_interface(self):
        self.assertEqual(self.with_policy.call(PROFILE_PATH, "org.freedesktop.DBus.Peer", "Ping"),
                         ACCESS_DENIED)


if __name__ == "__main__":
    unittest.main()
