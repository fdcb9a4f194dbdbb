"""The VM test bed: the real Linux Bluetooth stack and the real bluetoothd in
three QEMU guests (TCG), so that the driver can meet a reader through a real
bluetoothd.

    air      btvirt's emulated LE controllers, one per end, relayed to
    reader   its own kernel, system bus and bluetoothd on hci0 (the reader's side)
    host     its own kernel, system bus and bluetoothd on hci0 (where pcscd runs)

Each guest's hci0 is btattach on /dev/hvc0, a virtio-serial console whose
other side is a port of the air guest; the QEMU instances meet on unix
sockets in a private temporary folder. Each guest sees the machine's /usr and
/etc (read-only), the repository at its own path (read-only) and a work
folder of its own (read-write, /bed inside); the rest is the guest's own.

    from bed import VmBed
    with VmBed() as bed:                       # boots, waits for powered adapters
        bed.reader.start_peripheral("8d0b5c3e-6a5f-4c1e-9a57-2f4d1b7e0c11")
        bed.host.pair_as_readme(bed.reader.address())
        bed.host.run(["bluetoothctl", "info", bed.reader.address()]).stdout
        pid = bed.host.spawn(["pcscd", "--foreground", "-c", conf_dir], log="pcscd.log")
        rc, context = bed.host.call("smartcard.scard", "SCardEstablishContext", 0)
        bed.host.stop(pid)

Guests take one request at a time (requests from several threads wait
for each other). Set BED_KEEP=1 to keep the folder with consoles and logs.
"""

import base64
import ctypes
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
from collections import namedtuple

import image

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
QEMU = "qemu-system-x86_64"
GUEST_WORK_DIR = "/bed"
GUEST_POLICY_DIR = f"{GUEST_WORK_DIR}/system.d"
BLUETOOTHD = "/usr/libexec/bluetooth/bluetoothd"
ADAPTER_PROPERTY = "busctl get-property org.bluez /org/bluez/hci0 org.bluez.Adapter1"
# The least that works: at 96M the agent of an end guest was killed for
# want of memory. Each QEMU's own size hardly depends on it (about 260 MB).
DEFAULT_MEMORY = "128M"
# Every wait has a bound this generous: three emulated guests share two
# cores with whatever else the machine runs.
BOOT_TIMEOUT = 300
SERVICE_TIMEOUT = 120
# What a request gets on top of its own time limit: the agent's grace and
# the trip through the port.
REQUEST_MARGIN = 30
# How a guest's kernel reports a fault of its own (an oops, a BUG, a list
# found corrupt), after which that guest's bluetoothd is gone.
KERNEL_FAULT = re.compile(r"^.*(kernel BUG at|Oops:|general protection fault|list_\w+ corruption).*$", re.M)

RunResult = namedtuple("RunResult", "status stdout stderr")

SYSTEM_BUS_CONFIG = f"""<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<!-- The guest's system bus: Debian's, with the policies installed on the
     machine (BlueZ's among them), and one folder of its own for the
     policies that a test installs (Guest.add_bus_policy). -->
<busconfig>
  <include>/usr/share/dbus-1/system.conf</include>
  <includedir>{GUEST_POLICY_DIR}</includedir>
</busconfig>
"""


class GuestError(Exception):
    """A request that the guest answered with an error, or could not answer."""


def skip_reason(build_dir=image.DEFAULT_BUILD_DIR):
    """None where the bed can run; else one line saying what is missing."""
    if shutil.which(QEMU) is None:
        return f"{QEMU} is not installed (Debian package qemu-system-x86)"
    if not os.path.exists(image.BUSYBOX):
        return f"{image.BUSYBOX} is missing (Debian package busybox-static)"
    for tool in ("btvirt", "btattach", "bluetoothctl"):
        if shutil.which(tool) is None:
            return f"{tool} is not installed (Debian packages bluez, bluez-test-tools)"
    try:
        image.resolve_kernel_package()
    except image.ImageError as error:
        if not image.cached_kernel_trees(os.path.abspath(build_dir)):
            return f"no kernel package to be had: {str(error).splitlines()[0]}"
    return None


def _die_with_parent():
    """QEMU ends with the process that started it, however that one ends."""
    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


def wait_until(predicate, timeout, what, interval=0.05):
    """Waits until predicate() returns something true, and returns that."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise TimeoutError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(interval)


class Guest:
    """One QEMU guest and the agent in it.

    work_dir: the guest's work folder on the machine, /bed in the guest
    (guest_work_dir); background processes log to its logs/ folder."""

    def __init__(self, role, bed_dir, boot_image, repo, memory):
        self.role = role
        self.bed_dir = bed_dir
        self.image = boot_image
        self.repo = repo
        self.memory = memory
        self.work_dir = os.path.join(bed_dir, role)
        self.guest_work_dir = GUEST_WORK_DIR
        self.console_log = os.path.join(bed_dir, f"{role}.console.log")
        self.qemu_log = os.path.join(bed_dir, f"{role}.qemu.log")
        self.agent_socket = os.path.join(bed_dir, f"{role}.agent")
        self.process = None
        self.channel = None
        self.pending = b""
        self.requests = 0  # numbers the requests, so that a late answer is never taken for the next
        self.one_request = threading.Lock()
        os.makedirs(os.path.join(self.work_dir, "logs"))
        os.chmod(self.work_dir, 0o755)

    # --- the virtual machine

    def _shares(self):
        return {"usr": ("/usr", True), "etc": ("/etc", True), "kernel": (self.image.kernel_tree, True),
                "repo": (self.repo, True), "work": (self.work_dir, False)}

    def qemu_command(self, devices):
        command = [QEMU, "-name", self.role, "-accel", "tcg,thread=multi,tb-size=64",
                   "-m", self.memory, "-smp", "1", "-nodefaults", "-no-user-config", "-display", "none",
                   "-no-reboot", "-kernel", self.image.bzimage, "-initrd", self.image.initramfs,
                   "-append", f"console=ttyS0 loglevel=4 panic=-1 bed.role={self.role} bed.repo={self.repo}",
                   "-serial", f"file:{self.console_log}", "-device", "virtio-serial-pci,id=ports",
                   "-chardev", f"socket,id=agent,path={self.agent_socket},server=on,wait=off",
                   "-device", "virtserialport,bus=ports.0,chardev=agent,name=bed.agent"]
        for tag, (path, read_only) in self._shares().items():
            command += ["-fsdev", f"local,id={tag},path={path},security_model=none"
                        + (",readonly=on" if read_only else ""),
                        "-device", f"virtio-9p-pci,fsdev={tag},mount_tag={tag}"]
        return command + devices

    def start(self, devices):
        with open(self.qemu_log, "wb") as log:
            self.process = subprocess.Popen(self.qemu_command(devices), stdin=subprocess.DEVNULL, stdout=log,
                                            stderr=subprocess.STDOUT, preexec_fn=_die_with_parent)

    def alive(self):
        return self.process is not None and self.process.poll() is None

    def console(self):
        """What the guest's kernel, init and agent printed."""
        return _read_text(self.console_log) + _read_text(self.qemu_log)

    def stop_vm(self, timeout=30):
        """Ends QEMU by its PID: SIGTERM, then SIGKILL if it lingers."""
        if self.channel:
            self.channel.close()
            self.channel = None
        if not self.alive():
            return
        self.process.terminate()
        try:
            self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()

    # --- the agent

    def connect(self, timeout=BOOT_TIMEOUT):
        """Connects to the agent's port and waits until the agent answers."""
        wait_until(lambda: os.path.exists(self.agent_socket) or not self.alive(), 30, f"{self.role}'s agent socket")
        self.check_alive()
        self.channel = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.channel.connect(self.agent_socket)
        # The request waits in the port until the agent opens it.
        self.request("ping", timeout=timeout)

    def check_alive(self):
        """GuestError with the console's end if QEMU has ended."""
        if not self.alive():
            raise GuestError(f"the {self.role} guest's QEMU ended ({self.process.returncode}):\n"
                             + self.console()[-4000:])

    def _port_closed(self):
        """The agent's port closes when the guest powers off: say why."""
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            pass
        self.check_alive()
        return GuestError(f"the {self.role} guest's agent port closed:\n" + self.console()[-4000:])

    def _answer(self, request_id, timeout):
        """The answer to request_id; answers to requests given up are dropped."""
        deadline = time.monotonic() + timeout
        while True:
            answer = self._read_line(deadline)
            if answer.get("id") == request_id:
                return answer

    def _read_line(self, deadline):
        while b"\n" not in self.pending:
            self.check_alive()
            if time.monotonic() > deadline:
                raise GuestError(f"the {self.role} guest's agent did not answer in time")
            self.channel.settimeout(1.0)
            try:
                chunk = self.channel.recv(65536)
            except socket.timeout:
                continue
            if not chunk:
                raise self._port_closed()
            self.pending += chunk
        line, self.pending = self.pending.split(b"\n", 1)
        return json.loads(line)

    def request(self, op, timeout=60, **fields):
        """One request to the agent; its result, or GuestError."""
        with self.one_request:
            self.requests += 1
            line = json.dumps(dict(fields, op=op, timeout=timeout, id=self.requests))
            self.channel.sendall(line.encode() + b"\n")
            answer = self._answer(self.requests, timeout + REQUEST_MARGIN)
        if not answer["ok"]:
            raise GuestError(f"{self.role}: {op} failed: {answer['type']}: {answer['error']}\n"
                             + answer.get("traceback", ""))
        return answer["result"]

    def run(self, command, timeout=60, env=None, cwd=None, check=True):
        """Runs a command (shell line or argument list) to its end."""
        result = self.request("run", timeout=timeout, command=command, env=env, cwd=cwd)
        outcome = RunResult(result["status"], result["stdout"], result["stderr"])
        if check and (result["timed_out"] or outcome.status != 0):
            why = f"timed out after {timeout} s" if result["timed_out"] else f"exit status {outcome.status}"
            raise GuestError(f"{self.role}: {command!r}: {why}\n"
                             f"stdout:\n{outcome.stdout}\nstderr:\n{outcome.stderr}")
        return outcome

    def spawn(self, command, log, env=None, cwd=None):
        """Starts a background process, output to logs/<log> in the work
        folder; returns its PID in the guest."""
        return self.request("spawn", command=command, log=log, env=env, cwd=cwd)

    def kill(self, pid, sig=signal.SIGTERM, timeout=30, group=False):
        """Sends a signal and waits for the process to end; returns its exit
        status where the agent started it."""
        return self.request("kill", timeout=timeout, pid=pid, signal=int(sig), group=group)

    def stop(self, pid, timeout=30):
        """SIGTERM, then SIGKILL if the process lingers."""
        try:
            return self.kill(pid, signal.SIGTERM, timeout)
        except GuestError:
            return self.kill(pid, signal.SIGKILL, timeout)

    def call(self, module, function, *args, timeout=60, **kwargs):
        """Calls module.function(*args, **kwargs) in the agent's process;
        arguments and result are JSON (tuples come back as lists)."""
        return self.request("call", timeout=timeout, module=module, function=function, args=args, kwargs=kwargs)

    def wait_for(self, command, timeout=SERVICE_TIMEOUT, interval=0.1):
        """Runs the command until it succeeds; returns its last output."""
        return self.request("wait_for", timeout=timeout, command=command, interval=interval)["stdout"]

    def read_file(self, path):
        return base64.b64decode(self.request("read_file", path=path))

    def write_file(self, path, data, mode=None):
        data = data.encode() if isinstance(data, str) else data
        fields = {"mode": mode} if mode is not None else {}
        self.request("write_file", path=path, data=base64.b64encode(data).decode(), **fields)

    def log(self, name):
        """A background process's log, read on the machine."""
        return _read_text(os.path.join(self.work_dir, "logs", name))


class EndGuest(Guest):
    """The reader or the host: a system bus with a user's machine's policy, a
    bluetoothd, and hci0 from btattach on /dev/hvc0."""

    def __init__(self, *args, bluetoothd_args=(), bluetooth_config=None):
        super().__init__(*args)
        self.bluetoothd_args = list(bluetoothd_args)
        if bluetooth_config is not None:
            with open(os.path.join(self.work_dir, "main.conf"), "w") as config:
                config.write(bluetooth_config)
            self.bluetoothd_args += ["--configfile", f"{GUEST_WORK_DIR}/main.conf"]
        self.radio_socket = os.path.join(self.bed_dir, f"{self.role}.radio")
        self.pids = {}
        os.makedirs(os.path.join(self.work_dir, "system.d"))
        with open(os.path.join(self.work_dir, "system-bus.conf"), "w") as config:
            config.write(SYSTEM_BUS_CONFIG)

    def radio_devices(self):
        """hvc0: the first console port, the air guest's socket its other side."""
        return ["-chardev", f"socket,id=radio,path={self.radio_socket}",
                "-device", "virtconsole,bus=ports.0,chardev=radio,name=bed.radio"]

    def start_bluetooth(self):
        self.pids["dbus-daemon"] = self.spawn(
            ["dbus-daemon", f"--config-file={GUEST_WORK_DIR}/system-bus.conf", "--nofork"], log="dbus.log")
        self.wait_for("test -S /run/dbus/system_bus_socket")
        self.start_bluetoothd()
        self.pids["btattach"] = self.spawn(["btattach", "-B", "/dev/hvc0", "-P", "h4"], log="btattach.log")

    def start_bluetoothd(self):
        """bluetoothd in the foreground, logging to logs/bluetoothd.log."""
        self.pids["bluetoothd"] = self.spawn([BLUETOOTHD, "-n", *self.bluetoothd_args], log="bluetoothd.log")

    def stop_bluetoothd(self):
        """SIGTERM, as systemd stops it: bluetoothd releases its clients'
        applications and leaves the bus."""
        self.stop(self.pids.pop("bluetoothd"))

    def restart_bluetoothd(self, timeout=SERVICE_TIMEOUT):
        self.stop_bluetoothd()
        self.start_bluetoothd()
        self.wait_for_powered_adapter(timeout)

    def wait_for_powered_adapter(self, timeout=SERVICE_TIMEOUT):
        self.wait_for(f"{ADAPTER_PROPERTY} Powered | grep -qx 'b true'", timeout)

    def address(self):
        """hci0's Bluetooth address."""
        return self.run(f"{ADAPTER_PROPERTY} Address").stdout.split('"')[1]

    def install_reader_conf(self, name, driver, device="pemra:0"):
        """A pcscd reader file for the driver; returns the folder to give
        pcscd's -c, as the guest sees it."""
        folder = os.path.join(self.work_dir, "reader.conf.d")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "pemra"), "w") as conf:
            conf.write(f'FRIENDLYNAME "{name}"\nDEVICENAME   {device}\nLIBPATH      {driver}\n')
        return f"{GUEST_WORK_DIR}/reader.conf.d"

    def pair_as_readme(self, address, step_timeout=60):
        """Pairs with bluetoothctl as the README says ("Pair the reader
        once"); returns the transcript, GuestError with it if a step fails."""
        return self.call("bluetoothctl_pty", "pair_as_readme", address, step_timeout, timeout=8 * step_timeout)

    def start_peripheral(self, uuid, step_timeout=60):
        """A connectable, pairable LE peripheral advertising uuid, made with
        bluetoothctl, up until stop_peripheral(); returns the transcript."""
        return self.call("bluetoothctl_pty", "start_peripheral", uuid, step_timeout, timeout=10 * step_timeout)

    def stop_peripheral(self):
        return self.call("bluetoothctl_pty", "stop_peripheral")

    def sim_control(self, method, *args, timeout=60):
        """A method of SimControl (sim/simctl.py) on the pemra_sim
        --peripheral of this guest, through its control interface on the
        guest's bus; bytes come back as hexadecimal text."""
        return self.call("reader_control", "control", method, *args, timeout=timeout)

    def add_bus_policy(self, path):
        """Installs a D-Bus policy file in the bus's extra folder (as a
        package installs one) and has the bus read it."""
        shutil.copy(path, os.path.join(self.work_dir, "system.d"))
        self.run("dbus-send --system --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus "
                 "org.freedesktop.DBus.ReloadConfig")


class AirGuest(Guest):
    """btvirt and the relay that gives each end one LE controller."""

    def __init__(self, *args, ends):
        super().__init__(*args)
        self.ends = ends
        self.pids = {}

    def radio_devices(self):
        devices = []
        for end in self.ends:
            devices += ["-chardev", f"socket,id={end.role},path={end.radio_socket},server=on,wait=off",
                        "-device", f"virtserialport,bus=ports.0,chardev={end.role},name=bed.radio.{end.role}"]
        return devices

    def start_air(self):
        self.pids["btvirt"] = self.spawn(["btvirt", "-s", "-l0"], log="btvirt.log")
        self.wait_for("test -S /tmp/bt-server-le")
        relay = os.path.join(self.repo, "sim", "vm", "air_relay.py")
        self.pids["relay"] = self.spawn(["/usr/bin/python3", "-u", relay, *[end.role for end in self.ends]],
                                        log="relay.log")
        self.wait_for(f"test $(grep -c '^relaying' {GUEST_WORK_DIR}/logs/relay.log) = {len(self.ends)}")


class VmBed:
    """The three guests, booted in parallel, with powered adapters at both
    ends. As a context manager it stops every QEMU by its PID at exit, and
    removes its temporary folder unless keep is true (consoles and logs are
    there: <folder>/<role>.console.log, <folder>/<role>/logs/)."""

    # timings: seconds from start() to the image ready, the agents answering
    # and both adapters powered.
    def __init__(self, build_dir=image.DEFAULT_BUILD_DIR, repo=REPO, memory=DEFAULT_MEMORY, keep=False,
                 bluetoothd_args=(), bluetooth_config=None):
        self.build_dir = build_dir
        self.repo = os.path.abspath(repo)
        self.memory = memory
        self.keep = keep or bool(os.environ.get("BED_KEEP"))
        self.bluetoothd_args = bluetoothd_args
        self.bluetooth_config = bluetooth_config
        self.folder = None
        self.guests = []
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
        boot_image = image.build_image(self.build_dir)
        self.folder = tempfile.mkdtemp(prefix="pemra-vm-")
        common = (self.folder, boot_image, self.repo, self.memory)
        ends = {"bluetoothd_args": self.bluetoothd_args, "bluetooth_config": self.bluetooth_config}
        self.reader = EndGuest("reader", *common, **ends)
        self.host = EndGuest("host", *common, **ends)
        self.air = AirGuest("air", *common, ends=[self.reader, self.host])
        self.guests = [self.air, self.reader, self.host]
        self.timings["image"] = time.monotonic() - started
        self._boot()
        self.timings["agents"] = time.monotonic() - started
        self.air.start_air()
        for end in (self.reader, self.host):
            end.start_bluetooth()
        for end in (self.reader, self.host):
            end.wait_for_powered_adapter()
        self.timings["powered"] = time.monotonic() - started

    def _boot(self):
        # The air guest's QEMU serves the radio sockets: it starts first, so
        # that the ends' QEMU find them; then all three boot side by side.
        self.air.start(self.air.radio_devices())
        wait_until(lambda: all(os.path.exists(end.radio_socket) for end in (self.reader, self.host))
                   or not self.air.alive(), 30, "the air guest's radio sockets")
        self.air.check_alive()
        for end in (self.reader, self.host):
            end.start(end.radio_devices())
        for guest in self.guests:
            guest.connect()

    def close(self):
        for guest in self.guests:
            guest.stop_vm()
        if self.folder and not self.keep:
            shutil.rmtree(self.folder, ignore_errors=True)

    def kernel_fault(self):
        """The first line in which a guest's kernel reported its own fault
        (with the guest's role), or None."""
        for guest in self.guests:
            found = KERNEL_FAULT.search(guest.console())
            if found:
                return f"the {guest.role} guest's kernel: {found.group(0).strip()}"
        return None

    def report(self):
        """Every guest's console and service logs, for a failing test."""
        parts = []
        for guest in self.guests:
            parts.append(f"==== {guest.role}: console ====\n{guest.console()[-6000:]}")
            logs = os.path.join(guest.work_dir, "logs")
            for name in sorted(os.listdir(logs)) if os.path.isdir(logs) else []:
                parts.append(f"==== {guest.role}: {name} ====\n{guest.log(name)[-6000:]}")
        return "\n".join(parts)


def _read_text(path):
    try:
        with open(path, errors="replace") as text:
            return text.read()
    except FileNotFoundError:
        return ""
