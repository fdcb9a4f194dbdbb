"""pemra_sim's command line and the launcher that runs a command beside it."""

import os
import re
import subprocess
import sys
import unittest

SIM = os.environ["PEMRA_SIM"]
SIM_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "sim")
INTERFACES = os.path.join(SIM_DIR, "interfaces.cpp")
FAULTS = os.path.join(SIM_DIR, "faults.cpp")


def sim(*args):
    return subprocess.run([SIM, *args], capture_output=True, text=True, timeout=10)


class CommandLine(unittest.TestCase):
    def test_help_documents_every_control_method_and_fault(self):
        text = sim("--help").stdout
        with open(INTERFACES) as source:
            control = source.read().split('name="com.tarvenk.PemraSim1"')[1]
        for method in re.findall(r'<method name="(\w+)"', control):
            with self.subTest(method=method):
                self.assertIn(f"  {method}(", text)
        with open(FAULTS) as source:
            for fault in re.findall(r'\{Fault::\w+, "([a-z0-9-]+)"', source.read()):
                with self.subTest(fault=fault):
                    self.assertIn(f"  {fault}\n", text)

    def test_help_documents_every_option(self):
        text = sim("--help").stdout
        for option in ("--bus", "--adapters", "--readers", "--notify-size", "--message-size", "--key-store",
                       "--no-card", "--disconnected", "--unpaired", "--unresolved", "--log-capacity",
                       "--verbose", "--vicc-port", "--peripheral", "--name", "--help"):
            with self.subTest(option=option):
                self.assertRegex(text, rf"\n  {option}\b")

    def test_bad_options_are_refused_with_status_2(self):
        for args in (["--frobnicate"], ["--notify-size", "19"], ["--notify-size", "257"],
                     ["--message-size", "65536"], ["--readers"], ["--readers", "x"],
                     # What BlueZ or the MTU decides beside a real bluetoothd.
                     ["--peripheral", "--notify-size", "20"], ["--peripheral", "--disconnected"],
                     ["--name", "Pemra"]):
            with self.subTest(args=args):
                result = sim(*args)
                self.assertEqual(result.returncode, 2)
                self.assertIn("pemra_sim --help", result.stderr)

    def test_no_reachable_bus_is_status_1(self):
        result = sim("--bus", "unix:path=/nonexistent/bus")
        self.assertEqual(result.returncode, 1)


class Launcher(unittest.TestCase):
    def test_run_with_sim_gives_the_command_a_bus_with_org_bluez(self):
        check = ("import dbus, os; b = dbus.bus.BusConnection(os.environ['DBUS_SYSTEM_BUS_ADDRESS']);"
                 "raise SystemExit(0 if b.name_has_owner('org.bluez') else 3)")
        result = subprocess.run([sys.executable, os.path.join(SIM_DIR, "run_with_sim.py"), SIM, "--readers", "2",
                                 "--", sys.executable, "-c", check], timeout=60)
        self.assertEqual(result.returncode, 0)

    def test_run_with_sim_passes_the_command_status_on(self):
        result = subprocess.run([sys.executable, os.path.join(SIM_DIR, "run_with_sim.py"), SIM, "--", "false"],
                                timeout=60)
        self.assertEqual(result.returncode, 1)


if __name__ == "__main__":
    unittest.main()
