"""The VM bed as a user's machine and a reader: pemra_sim --peripheral runs
as the reader beside the reader guest's bluetoothd, the host guest pairs with
it by the README's steps, and Debian's pcscd there loads the freshly built
driver with the D-Bus policy the package installs. The end-to-end scenarios
on the real bluetoothd (tests/e2e/real_bluez.py) and bench/real_bluez.py use
it.

The driver keeps its long-term keys in the folder its build names
(scripts/build: <build>/keys/), which the guests see read-only: the host
guest mounts a tmpfs of its own there, so that its keys live and die with
the guest and the machine's folder is never written.
"""

import os
import re
import signal
import time

import bed

READER_NAME = "Pemra BLE Reader"
PCSCD_SOCKET = "/run/pcscd/pcscd.comm"
DRIVER_POLICY = os.path.join(bed.REPO, "packaging", "pemra-ifd.conf")
PERIPHERAL_POLICY = os.path.join(bed.REPO, "sim", "pemra-sim-peripheral.conf")
# The reader guest's own /var: the reader's keys outlive a restart of pemra_sim.
READER_KEYS = "/var/lib/pemra-sim"
# Both bluetoothd run without EATT (one ATT channel per link): with EATT's
# extra channels, Debian 12's Linux 6.1 crashed in hci_chan_del (a use after
# free as an L2CAP socket is released) in two of three runs of fifteen
# reconnects, on either end, which ends that end's bluetoothd; and the race
# in which bluetoothd fails to set a new link's security came with it.
# Without EATT: thirty reconnects, neither (CI saw the crash once all the
# same: tests/e2e/run_real_bluez.py). PEMRA_BLUETOOTH_CONFIG names
# another configuration ("" for Debian's own, EATT on).
BED_BLUETOOTH_CONFIG = "[GATT]\nChannels = 1\n"
# A client that connects and goes: wakes a pcscd whose main loop sleeps.
WAKE_PCSCD = ["/usr/bin/python3", "-c",
              f"import socket; socket.socket(socket.AF_UNIX).connect({PCSCD_SOCKET!r})"]


def driver_key_dir(build):
    """The key folder that the build gave the driver (PEMRA_KEY_DIR)."""
    with open(os.path.join(build, "CMakeCache.txt")) as cache:
        for line in cache:
            if line.startswith("PEMRA_KEY_DIR:"):
                return line.split("=", 1)[1].strip()
    raise RuntimeError(f"no PEMRA_KEY_DIR in {build}/CMakeCache.txt")


def device_path(address):
    """BlueZ's path of a device on the host's hci0."""
    return "/org/bluez/hci0/dev_" + re.sub(r"[^0-9A-Za-z]", "_", address)


class PairedBed:
    """timings: seconds the bed took to boot and the README's pairing."""

    def __init__(self, build, reader_args=()):
        self.build = os.path.abspath(build)
        self.driver = os.path.join(self.build, "driver", "libpemra_ifd.so")
        self.reader_args = list(reader_args)
        config = os.environ.get("PEMRA_BLUETOOTH_CONFIG", BED_BLUETOOTH_CONFIG).replace("\\n", "\n")
        self.bed = bed.VmBed(bluetoothd_args=os.environ.get("PEMRA_BLUETOOTHD_ARGS", "").split(),
                             bluetooth_config=config or None)
        self.pcscd = None
        self.timings = {}

    def __enter__(self):
        try:
            self.start()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc_info):
        self.close()

    def start(self):
        started = time.monotonic()
        self.bed.start()
        self.host, self.reader = self.bed.host, self.bed.reader
        self.timings["bed"] = time.monotonic() - started
        self.start_reader()
        self.reader_address = self.reader.address()
        self.device_path = device_path(self.reader_address)
        self.pcsc_reader = f"{READER_NAME} 00 00"
        started = time.monotonic()
        self.host.pair_as_readme(self.reader_address)
        self.timings["pairing"] = time.monotonic() - started
        self.paired_at = time.monotonic()
        self.prepare_host()

    def close(self):
        self.bed.close()

    def start_reader(self):
        """pemra_sim --peripheral, up once it advertises; each start logs
        to a file of its own."""
        reader = self.reader
        reader.add_bus_policy(PERIPHERAL_POLICY)
        self.reader_starts = getattr(self, "reader_starts", 0) + 1
        log = f"pemra_sim-{self.reader_starts}.log"
        self.reader_pid = reader.spawn([os.path.join(self.build, "sim", "pemra_sim"), "--peripheral", "--verbose",
                                        "--key-store", READER_KEYS, *self.reader_args], log=log)
        reader.wait_for(f"grep -q 'serving com.tarvenk.PemraSim' {reader.guest_work_dir}/logs/{log}")

    def restart_reader(self):
        """The reader switched off (SIGTERM: it stops advertising and drops
        the link) and on again."""
        self.reader.kill(self.reader_pid, signal.SIGTERM)
        self.start_reader()

    def prepare_host(self):
        """The driver's key folder as a tmpfs, its bus policy installed."""
        self.driver_keys = keys = driver_key_dir(self.build)
        os.makedirs(keys, mode=0o700, exist_ok=True)
        self.host.run(["mount", "-t", "tmpfs", "-o", "mode=0700", "tmpfs", keys])
        self.host.add_bus_policy(DRIVER_POLICY)
        if os.environ.get("PEMRA_VM_MONITOR"):
            self.host.spawn(["dbus-monitor", "--system"], log="dbus-monitor.log")
        self.reader_conf = self.host.install_reader_conf(READER_NAME, self.driver)

    def start_pcscd(self):
        """pcscd as a user's machine runs it; returns once its socket is
        there (clients then wait in it until pcscd serves them)."""
        self.pcscd = self.host.spawn(["pcscd", "--foreground", "--debug", "-c", self.reader_conf], log="pcscd.log")
        self.host.wait_for(f"test -S {PCSCD_SOCKET}")

    def stop_pcscd(self, sig=signal.SIGINT):
        """SIGINT: pcscd closes its readers before it exits. Its exit status.
        pcscd 1.9.9 notes the signal on another thread; when its main loop
        went back to waiting for clients before that, it sleeps until the
        next client comes (seen here after "Preparing for suicide"): one
        connects, and a pcscd that stays all the same is killed."""
        pid, self.pcscd = self.pcscd, None
        if pid is None:
            return None
        for wait in (5, 55):
            try:
                return self.host.kill(pid, sig, timeout=wait)
            except bed.GuestError:
                self.host.run(WAKE_PCSCD, check=False)
        return self.host.kill(pid, signal.SIGKILL)

    def reader_log(self):
        return self.reader.log(f"pemra_sim-{self.reader_starts}.log")

    def pcscd_log(self):
        return self.host.log("pcscd.log")
