"""pemra_info through Debian's pcscd, as far as the stack answers today: the
command line, a listed reader that is not (yet) a Pemra reader, a daemon
without readers and no daemon at all.

The daemon runs with its debug log, which names every command a client sends;
the tests read from it which PC/SC calls the tool made.
"""

import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest

from smartcard import scard

import stack

NOT_FOUND = b"no bluetooth Pemra found\n"
# The calls that show how far the tool went with a reader.
READER_CALLS = ("CONNECT", "GET_ATTRIB", "DISCONNECT")


def run_tool(args, socket_path, argv0=None):
    """Runs pemra_info against the daemon on `socket_path` (and never the
    machine's own)."""
    tool = os.environ["PEMRA_INFO"]
    env = dict(os.environ, PCSCLITE_CSOCK_NAME=socket_path)
    return subprocess.run([argv0 or tool, *args], executable=tool, env=env,
                          stdin=subprocess.DEVNULL, capture_output=True, timeout=60)


class PrivateDaemonCase(unittest.TestCase):
    """One private pcscd for the class; subclasses choose its readers."""

    daemon_class = stack.PrivatePcscd

    @classmethod
    def setUpClass(cls):
        cls.workdir = stack.make_workdir()
        cls.addClassCleanup(shutil.rmtree, cls.workdir, ignore_errors=True)
        cls.pcscd = cls.daemon_class(os.environ["PEMRA_DRIVER"], cls.workdir).start()
        cls.addClassCleanup(cls.pcscd.stop)

    def run(self, result=None):
        outcome = super().run(result)
        if result is not None and not result.wasSuccessful():
            print("---- pcscd log ----\n" + self.pcscd.log()[-20000:])
        return outcome

    def run_and_trace(self, *args):
        """Runs the tool; returns its result, the reader calls the daemon
        received from it, in order, and the daemon's log of its connection."""
        start = len(self.pcscd.log())
        result = run_tool(args, self.pcscd.socket_path)
        session, client = self.wait_for_client_end(start)
        commands = re.findall(rf"Received command: (\w+) from client {client}\n", session)
        return result, [c for c in commands if c in READER_CALLS], session

    def wait_for_client_end(self, start, timeout=10):
        """The log of the first client that speaks after `start`, once it
        has gone, and its number. Numbers are reused, and an earlier
        client's end may still be logged after `start`: only an end after
        the first command counts."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            log = self.pcscd.log()[start:]
            first = re.search(r"Received command: \w+ from client (\d+)\n", log)
            if first and f"Client die: {first.group(1)}\n" in log[first.end():]:
                return log[first.start():], first.group(1)
            time.sleep(0.05)
        self.fail("pcscd never saw pemra_info's connection end")


class WithTheDriversReaderListed(PrivateDaemonCase):
    """The driver's reader is listed, but no reader session is in its slot,
    so both of its attribute reads fail."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # pyscard's client library keeps the first daemon socket it used:
        # this is the one class here that talks to a daemon in-process.
        rc, context = scard.SCardEstablishContext(scard.SCARD_SCOPE_USER)
        assert rc == 0, hex(rc)
        try:
            stack.wait_for_reader(context)
        finally:
            scard.SCardReleaseContext(context)

    def test_more_than_one_argument_prints_the_usage_line_with_the_program_name(self):
        for args in (["0", "1"], ["a", "b", "c"]):
            with self.subTest(args=args):
                result = run_tool(args, self.pcscd.socket_path, argv0="called-as")
                self.assertEqual(result.returncode, 1)
                self.assertEqual(result.stderr, b"Usage called-as [reader no.]\n")
                self.assertEqual(result.stdout, b"")

    def test_a_reader_that_fails_the_address_read_is_no_pemra_and_is_disconnected(self):
        result, calls, session = self.run_and_trace()
        self.assertEqual((result.returncode, result.stdout, result.stderr), (1, b"", NOT_FOUND))
        self.assertEqual(calls, ["CONNECT", "GET_ATTRIB", "DISCONNECT"])
        self.assertIn("dwDisposition: 0", session, "the disconnect must leave the card")

    def test_reader_numbers_of_zero_or_less_try_the_first_reader(self):
        for number in ("0", "-3", "  0 and more", "none"):
            with self.subTest(number=number):
                result, calls, _ = self.run_and_trace(number)
                self.assertEqual((result.returncode, result.stderr), (1, NOT_FOUND))
                self.assertEqual(calls, ["CONNECT", "GET_ATTRIB", "DISCONNECT"])

    def test_reader_numbers_above_zero_select_no_reader(self):
        for number in ("1", "+2", "99999999999999999999999"):
            with self.subTest(number=number):
                result, calls, _ = self.run_and_trace(number)
                self.assertEqual((result.returncode, result.stdout, result.stderr), (1, b"", NOT_FOUND))
                self.assertEqual(calls, [])


class PcscdWithoutReaders(stack.PrivatePcscd):
    """The private daemon with an empty reader configuration folder."""

    def _write_reader_conf(self):
        conf_dir = os.path.join(self.workdir, "reader.conf.d")
        os.makedirs(conf_dir, exist_ok=True)
        return conf_dir


class WithNoReaderListed(PrivateDaemonCase):
    daemon_class = PcscdWithoutReaders

    def test_an_empty_reader_list_finds_no_pemra_and_connects_to_nothing(self):
        result, calls, _ = self.run_and_trace()
        self.assertEqual((result.returncode, result.stdout, result.stderr), (1, b"", NOT_FOUND))
        self.assertEqual(calls, [])


class WithNoDaemon(unittest.TestCase):
    def setUp(self):
        self.workdir = tempfile.mkdtemp(prefix="pemra-")
        self.addCleanup(shutil.rmtree, self.workdir, ignore_errors=True)
        self.socket_path = os.path.join(self.workdir, "pcscd.comm")

    def test_no_pcsc_service_finds_no_pemra(self):
        result = run_tool([], self.socket_path)
        self.assertEqual((result.returncode, result.stdout, result.stderr), (1, b"", NOT_FOUND))

    def test_two_arguments_print_the_usage_line_before_any_pcsc_call(self):
        result = run_tool(["1", "2"], self.socket_path)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stderr, b"Usage " + os.environ["PEMRA_INFO"].encode() + b" [reader no.]\n")


if __name__ == "__main__":
    unittest.main()
