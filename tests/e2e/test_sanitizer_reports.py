"""In an AddressSanitizer build, what a sanitized driver does wrong inside
pcscd fails the test that stops the daemon; pcscd's own leaks do not."""

import os
import shutil
import unittest

from smartcard import scard

import stack

# The PC/SC client library takes the daemon's socket path once per process.
WORKDIR = stack.make_workdir("pemra-e2e-sanitizer-")


def tearDownModule():
    shutil.rmtree(WORKDIR, ignore_errors=True)


def run_faulty_driver(fault):
    """Starts pcscd with the faulty driver, waits for its reader and stops
    the daemon again, which raises SanitizerReport if there was one."""
    pcscd = stack.PrivatePcscd(os.environ["PEMRA_FAULTY_DRIVER"], WORKDIR,
                               env={"FAULTY_DRIVER_FAULT": fault}).start()
    try:
        rc, context = scard.SCardEstablishContext(scard.SCARD_SCOPE_USER)
        assert rc == 0, rc
        stack.wait_for_reader(context)
        scard.SCardReleaseContext(context)
    finally:
        pcscd.stop()


class SanitizerReportsFromPcscd(unittest.TestCase):
    def test_a_driver_without_faults_stops_without_a_report(self):
        run_faulty_driver("none")

    def test_a_use_after_free_in_the_driver_is_reported(self):
        with self.assertRaisesRegex(stack.SanitizerReport, "AddressSanitizer: heap-use-after-free"):
            run_faulty_driver("use-after-free")

    def test_a_leak_of_the_driver_is_reported_when_pcscd_exits(self):
        with self.assertRaisesRegex(stack.SanitizerReport, "LeakSanitizer: detected memory leaks"):
            run_faulty_driver("leak")
