"""Runs real-BlueZ test cases as `python3 -m unittest -v` does, with one
difference: where a guest's kernel failed during the run, the cases that
failed run once more on a fresh bed.

Debian 12's Linux 6.1 can corrupt its list of HCI channels when bluetoothd
closes an L2CAP socket while the kernel takes the link down (hci_chan_del,
mended in later kernels); it happens on either end at a reconnect, rarely
without EATT. That guest's bluetoothd is gone then, and every later case
fails for the kernel's sake, not the driver's. A case that fails again on
the fresh bed fails the run."""

import re
import sys
import unittest

import real_bluez


def run(names):
    suite = unittest.defaultTestLoader.loadTestsFromNames(names)
    return unittest.TextTestRunner(verbosity=2).run(suite)


def failed_names(result):
    """The failed cases' names, each once, in the order they ran: the test
    method, or its class where the class could not be set up."""
    names = []
    for test, _ in result.failures + result.errors:
        test = getattr(test, "test_case", test)  # a subtest's case
        # Not a case: a class or module that could not be set up, named
        # as in "setUpClass (module.Class)".
        name = test.id() if isinstance(test, unittest.TestCase) else re.search(r"\((.+)\)", test.id()).group(1)
        if name not in names:
            names.append(name)
    return names


def main(names):
    result = run(names)
    fault = None if result.wasSuccessful() else real_bluez.kernel_fault()
    if fault is None:
        return 0 if result.wasSuccessful() else 1
    again = failed_names(result)
    print(f"\n{fault}\nThe bed starts afresh; what failed runs again: {' '.join(again)}", flush=True)
    real_bluez.discard_bed()
    return 0 if run(again).wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
