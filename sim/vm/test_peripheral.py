"""pemra_sim --peripheral as a real reader: it runs in the reader guest
beside that guest's bluetoothd, the host guest pairs with it as the README
tells a user to, and Debian's pcscd in the host guest uses it through the
freshly built driver, over btvirt's emulated radio and two real bluetoothd.

    cd sim/vm && /usr/bin/python3 -m unittest -v test_peripheral
PEMRA_BUILD names the build (default: build/ of this repository, which the
guests see at the same path); PEMRA_BUILD_VM the image folder (default:
build-vm/).

The driver keeps its long-term keys in the folder its build names
(scripts/build: <build>/keys/), which the guests see read-only: the host
guest mounts a tmpfs of its own there, so that its keys live and die with
the guest and the machine's folder is never written.
"""

import os
import re
import signal
import statistics
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import bed  # noqa: E402

BUILD = os.path.abspath(os.environ.get("PEMRA_BUILD", os.path.join(bed.REPO, "build")))
DRIVER = os.path.join(BUILD, "driver", "libpemra_ifd.so")
PEMRA_SIM = os.path.join(BUILD, "sim", "pemra_sim")
DRIVER_POLICY = os.path.join(bed.REPO, "packaging", "pemra-ifd.conf")
PERIPHERAL_POLICY = os.path.join(bed.REPO, "sim", "pemra-sim-peripheral.conf")
READER_NAME = "Pemra BLE Reader"
READER = f"{READER_NAME} 00 00"
# The reader guest's own /var: its keys outlive a restart of pemra_sim.
READER_KEYS = "/var/lib/pemra-sim"
GET_CHALLENGE = [0x00, 0x84, 0x00, 0x00, 0x08]
BUILD_VM = os.environ.get("PEMRA_BUILD_VM", bed.image.DEFAULT_BUILD_DIR)
SKIP = bed.skip_reason(BUILD_VM)


def echo(size):
    """An extended-length echo APDU of `size` bytes in all, for the reader's card."""
    data = [i & 0xFF for i in range(size - 7)]
    return [0x80, 0xEE, 0x00, 0x00, 0x00, len(data) >> 8, len(data) & 0xFF, *data]


def driver_key_dir(build):
    """The key folder that the build gave the driver (PEMRA_KEY_DIR)."""
    with open(os.path.join(build, "CMakeCache.txt")) as cache:
        for line in cache:
            if line.startswith("PEMRA_KEY_DIR:"):
                return line.split("=", 1)[1].strip()
    raise RuntimeError(f"no PEMRA_KEY_DIR in {build}/CMakeCache.txt")


def milliseconds_to(step, log):
    """What pemra_sim printed about a step of its set-up."""
    found = re.search(rf"pemra_sim: {step} after (\d+) ms", log)
    return int(found.group(1)) if found else None


@unittest.skipIf(SKIP, SKIP)
class PeripheralTest(unittest.TestCase):
    """One bed: pemra_sim --peripheral in the reader guest, paired with the
    host guest, whose pcscd has found the card. Each test leaves the reader
    connected with its card in."""

    @classmethod
    def setUpClass(cls):
        cls.bed = cls.enterClassContext(bed.VmBed(BUILD_VM))
        print(f"\nbed up: {cls.bed.timings}", file=sys.stderr)
        cls.start_pemra_sim()
        cls.addClassCleanup(lambda: cls.bed.reader.stop(cls.pemra_sim))
        log = cls.bed.reader.log(cls.pemra_sim_log)
        print(f"pemra_sim: application registered after {milliseconds_to('application registered', log)} ms, "
              f"advertising after {milliseconds_to('advertising', log)} ms", file=sys.stderr)

        started = time.monotonic()
        cls.transcript = cls.bed.host.pair_as_readme(cls.bed.reader.address())
        print(f"paired in {time.monotonic() - started:.1f} s", file=sys.stderr)

        started = time.monotonic()
        cls.start_pcscd()
        cls.wait_for_card(True)
        print(f"pcscd start to card present: {time.monotonic() - started:.1f} s", file=sys.stderr)

    @classmethod
    def start_pemra_sim(cls, log="pemra_sim.log"):
        reader = cls.bed.reader
        reader.add_bus_policy(PERIPHERAL_POLICY)
        cls.pemra_sim_log = log
        cls.pemra_sim = reader.spawn([PEMRA_SIM, "--peripheral", "--verbose", "--key-store", READER_KEYS], log=log)
        reader.wait_for(f"grep -q 'serving com.tarvenk.PemraSim' {reader.guest_work_dir}/logs/{log}", timeout=120)

    @classmethod
    def start_pcscd(cls):
        host = cls.bed.host
        if not os.path.exists(DRIVER):
            raise unittest.SkipTest(f"build the driver first: {DRIVER}")
        # The mount point: the folder that the driver would make itself.
        cls.driver_keys = driver_key_dir(BUILD)
        os.makedirs(cls.driver_keys, mode=0o700, exist_ok=True)
        host.run(["mount", "-t", "tmpfs", "-o", "mode=0700", "tmpfs", cls.driver_keys])
        cls.addClassCleanup(host.run, ["umount", cls.driver_keys])
        host.add_bus_policy(DRIVER_POLICY)
        conf = host.install_reader_conf(READER_NAME, DRIVER)
        pid = host.spawn(["pcscd", "--foreground", "--debug", "-c", conf], log="pcscd.log")
        cls.addClassCleanup(cls.stop_pcscd, pid)
        host.wait_for("test -S /run/pcscd/pcscd.comm", timeout=60)

    @classmethod
    def stop_pcscd(cls, pid):
        """SIGINT, so that pcscd closes its readers; SIGKILL if it stays.
        In two of four runs here pcscd stayed after "Preparing for suicide",
        before it stopped its hotplug thread, that is before the driver
        had anything to do."""
        try:
            cls.bed.host.kill(pid, signal.SIGINT, timeout=60)
        except bed.GuestError:
            print("pcscd did not end on SIGINT within 60 s: killed", file=sys.stderr)
            cls.bed.host.kill(pid, signal.SIGKILL)

    @classmethod
    def wait_for_card(cls, present, timeout=120):
        """Seconds until SCardGetStatusChange reported the card present (or gone)."""
        return cls.bed.host.call("pcsc_calls", "wait_for_card", READER, present, timeout, timeout=timeout + 30)

    def run(self, result=None):
        outcome = super().run(result)
        if result is not None and not result.wasSuccessful():
            print(self.bed.report(), file=sys.stderr)
        return outcome

    def transmit(self, apdus):
        return self.bed.host.call("pcsc_calls", "transmit", READER, apdus, timeout=120)

    def test_the_host_pairs_as_the_readme_says(self):
        self.assertIn(f"[NEW] Device {self.bed.reader.address()} Pemra", self.transcript)
        self.assertIn("Pairing successful", self.transcript)

    def test_apdus_reach_the_card_and_come_back(self):
        answers = self.transmit([GET_CHALLENGE] * 20 + [echo(200)])
        for response, _ in answers[:-1]:
            self.assertEqual(len(response), 10)
            self.assertEqual(response[-2:], [0x90, 0x00])
        self.assertEqual(answers[-1][0], echo(200)[7:] + [0x90, 0x00])
        round_trips = [seconds * 1000 for _, seconds in answers[:-1]]
        print(f"\nGET CHALLENGE round trip: median {statistics.median(round_trips):.0f} ms, "
              f"max {max(round_trips):.0f} ms; ECHO of 200 bytes {answers[-1][1] * 1000:.0f} ms", file=sys.stderr)

    def test_both_ends_keep_the_key_they_agreed(self):
        reader, host = self.bed.reader, self.bed.host
        self.assertEqual(reader.run(["ls", f"{READER_KEYS}/{reader.address()}"]).stdout.split(), [host.address()])
        self.assertEqual(host.run(["ls", self.driver_keys]).stdout.split(), [reader.address()])

    def test_card_removal_and_insertion_reach_pcsc_clients(self):
        for change, present in (("remove_card", False), ("insert_card", True)):
            self.bed.reader.sim_control(change)
            print(f"\n{change}: seen in {self.wait_for_card(present, timeout=60):.2f} s", file=sys.stderr)

    def test_the_host_connects_again_when_the_reader_advertises_again(self):
        reader = self.bed.reader
        reader.sim_control("set_connected", False)
        self.wait_for_card(False, timeout=60)
        started = time.monotonic()
        reader.sim_control("set_connected", True)
        self.wait_for_card(True)
        print(f"\nadvertising again to card present: {time.monotonic() - started:.1f} s", file=sys.stderr)
        self.assertEqual(self.transmit([GET_CHALLENGE])[0][0][-2:], [0x90, 0x00])

    def test_the_reader_keeps_its_keys_across_a_restart(self):
        # SIGTERM: the reader switches off, and the host sees it go.
        self.bed.reader.kill(self.pemra_sim, signal.SIGTERM)
        self.wait_for_card(False, timeout=60)
        self.start_pemra_sim(log="pemra_sim-again.log")
        self.wait_for_card(True)
        events = [entry[0] for entry in self.bed.reader.sim_control("log")]
        self.assertIn("session-key", events)
        self.assertNotIn("key-exchange", events)


if __name__ == "__main__":
    unittest.main()
