"""Starts the pieces of a private driver stack for tests, benchmarks and the demo.

Nothing here touches the machine's own pcscd socket, /run/pcscd or the system
bus: the daemon gets its listening socket handed over (socket activation) and
runs in a private mount namespace with its own /run; the BlueZ stand-in
pemra_sim serves "org.bluez" on a private dbus-daemon (PrivateBus, PemraSim),
which the driver reaches through DBUS_SYSTEM_BUS_ADDRESS.
"""

import os
import re
import shlex
import signal
import socket
import subprocess
import tempfile
import time

PCSCD = "/usr/sbin/pcscd"
READER_NAME = "Pemra BLE Reader"
DBUS_DAEMON = "dbus-daemon"
SIM_BUS_CONFIG = os.path.join(os.path.dirname(os.path.abspath(__file__)), "pemra-sim-bus.conf")
BLUEZ_NAME = "org.bluez"
# Libraries that the daemon alone preloads, such as the sanitizer runtime
# that a sanitized driver needs (the build sets it for its end-to-end tests).
PCSCD_PRELOAD_VARIABLE = "PEMRA_PCSCD_PRELOAD"
# The first line of an AddressSanitizer, LeakSanitizer or UBSan report.
SANITIZER_REPORT = re.compile(r"^==\d+==ERROR: \w+Sanitizer|: runtime error: ", re.MULTILINE)


# Every daemon started here, so that a test can check that none outlives it.
_started = []


def _popen(*args, **kwargs):
    process = subprocess.Popen(*args, **kwargs)
    _started.append(process)
    return process


def still_running():
    """The daemons started here that have not ended: (pid, command)."""
    return [(process.pid, process.args) for process in _started if process.poll() is None]


def kill_all():
    """Ends every daemon started here that still runs."""
    for process in _started:
        if process.poll() is None:
            process.kill()
            process.wait()


def _wait_for(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.02)
    raise TimeoutError(f"timed out waiting for {what}")


def _cpu_seconds(stat_path):
    with open(stat_path) as stat:
        # The fields after the command name, which may hold spaces.
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class PrivatePcscd:
    """Debian's pcscd in the foreground, on a private socket, loading one driver
    (ours by default; the benchmarks' anchor passes vsmartcard's vpcd with its
    device name). `wrapper`: command words to run the daemon under, such as
    valgrind and its options. `hostname`: the host name the daemon sees, in a
    UTS namespace of its own (needs root)."""

    def __init__(self, driver_path, workdir, env=None, reader_name=READER_NAME, device_name="pemra:0",
                 wrapper=(), hostname=None):
        self.driver_path = os.path.abspath(driver_path)
        self.workdir = workdir
        self.env = dict(env or {})
        self.reader_name = reader_name
        self.device_name = device_name
        self.wrapper = list(wrapper)
        self.hostname = hostname
        self.socket_path = os.path.join(workdir, "pcscd.comm")
        self.log_path = os.path.join(workdir, "pcscd.log")
        self.process = None

    def _write_reader_conf(self):
        conf_dir = os.path.join(self.workdir, "reader.conf.d")
        os.makedirs(conf_dir, exist_ok=True)
        with open(os.path.join(conf_dir, "pemra"), "w") as conf:
            conf.write(f'FRIENDLYNAME "{self.reader_name}"\n'
                       f"DEVICENAME   {self.device_name}\n"
                       f"LIBPATH      {self.driver_path}\n")
        return conf_dir

    def _listening_socket(self):
        if os.path.exists(self.socket_path):
            os.unlink(self.socket_path)
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        listener.bind(self.socket_path)
        os.chmod(self.socket_path, 0o666)
        listener.listen(64)
        return listener

    def _command(self, conf_dir):
        # LISTEN_PID must be pcscd's own pid: bash, unshare and the inner bash
        # all exec, so the pid of the outer bash is the daemon's (valgrind
        # as a wrapper keeps it too: it runs the daemon in its own process;
        # so does env, which sets the preload for the daemon alone).
        preload = os.environ.get(PCSCD_PRELOAD_VARIABLE)
        launcher = ["env", f"LD_PRELOAD={preload}"] if preload else []
        daemon = " ".join(shlex.quote(word) for word in [*self.wrapper, *launcher, PCSCD])
        inner = f"mount -t tmpfs none /run && exec {daemon} -f -d -c {conf_dir}"
        namespaces = "--mount --propagation private"
        if self.hostname:
            inner = f"hostname {shlex.quote(self.hostname)} && {inner}"
            namespaces += " --uts"
        private_run = f"unshare {namespaces} -- bash -c '{inner}'"
        plain = f"exec {daemon} -f -d -c {conf_dir}"
        launch = private_run if self._can_unshare() else plain
        return ["bash", "-c", f"export LISTEN_PID=$$ LISTEN_FDS=1; {launch}"]

    @staticmethod
    def _can_unshare():
        return subprocess.run(["unshare", "--mount", "true"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0

    def start(self):
        conf_dir = self._write_reader_conf()
        listener = self._listening_socket()
        env = dict(os.environ)
        env.update(self.env)
        log = open(self.log_path, "wb")

        def hand_over_socket():
            os.dup2(listener.fileno(), 3)

        self.process = _popen(self._command(conf_dir), env=env, stdin=subprocess.DEVNULL,
                                        stdout=log, stderr=subprocess.STDOUT,
                                        preexec_fn=hand_over_socket, pass_fds=(3,))
        listener.close()
        log.close()
        # Clients of this process reach the private daemon from now on.
        os.environ["PCSCLITE_CSOCK_NAME"] = self.socket_path
        return self

    def log(self):
        with open(self.log_path, errors="replace") as log:
            return log.read()

    def alive(self):
        return self.process is not None and self.process.poll() is None

    def rss_kib(self):
        """The daemon's resident set size (VmRSS), in KiB."""
        with open(f"/proc/{self.process.pid}/status") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        raise RuntimeError("no VmRSS for pcscd")

    def cpu_seconds(self, thread=None):
        """User plus system CPU time the daemon has used: all its threads, or
        only those named `thread` (the driver's is "pemra-worker")."""
        proc = f"/proc/{self.process.pid}"
        if thread is None:
            return _cpu_seconds(f"{proc}/stat")
        total = 0.0
        for task in os.listdir(f"{proc}/task"):
            with open(f"{proc}/task/{task}/comm") as comm:
                if comm.read().strip() == thread:
                    total += _cpu_seconds(f"{proc}/task/{task}/stat")
        return total

    def stop(self, timeout=10):
        """Ends the daemon and returns its exit status; raises SanitizerReport
        instead if a sanitized driver reported an error or a leak in it."""
        status = self._end(timeout)
        log = self.log() if self.process else ""
        report = SANITIZER_REPORT.search(log)
        if report:
            raise SanitizerReport(log[log.rfind("\n", 0, report.start()) + 1:])
        return status

    def _end(self, timeout):
        """SIGINT makes pcscd close its readers before it exits."""
        if not self.alive():
            return self.process.returncode if self.process else None
        self.process.send_signal(signal.SIGINT)
        deadline = time.monotonic() + timeout
        while True:
            try:
                return self.process.wait(min(0.5, max(0.0, deadline - time.monotonic())))
            except subprocess.TimeoutExpired:
                if time.monotonic() >= deadline:
                    self.process.kill()
                    self.process.wait()
                    raise
            # pcscd 1.9.9 notes the signal on another thread; when its main
            # loop goes back to waiting for clients before that, it sleeps
            # until the next client connects (seen under load): connect once.
            self._wake()

    def _wake(self):
        try:
            with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as client:
                client.connect(self.socket_path)
        except OSError:
            pass


class SanitizerReport(Exception):
    """A sanitizer's report from the daemon's log: an error in the driver."""


def make_workdir(prefix="pemra-"):
    return tempfile.mkdtemp(prefix=prefix)


def wait_for_reader(context, name=READER_NAME, timeout=10):
    """Waits until the daemon lists the reader; returns its full name."""
    from smartcard import scard
    found = []

    def listed():
        rc, readers = scard.SCardListReaders(context, [])
        found[:] = [r for r in (readers or []) if r.startswith(name)] if rc == 0 else []
        return bool(found)

    _wait_for(listed, timeout, f"reader '{name}'")
    return found[0]


def _stop_process(process, timeout=10):
    """SIGTERM, then SIGKILL if it lingers; returns the exit status."""
    if process is None or process.poll() is not None:
        return process.returncode if process else None
    process.terminate()
    try:
        return process.wait(timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
        raise


class PrivateBus:
    """A dbus-daemon of our own listening on <workdir>/bus: the system bus of
    the driver and of pemra_sim, with everything allowed. `services`: bus
    name -> command, names that the bus starts on demand."""

    def __init__(self, workdir, services=None):
        self.workdir = workdir
        self.services = dict(services or {})
        self.socket_path = os.path.join(workdir, "bus")
        self.address = f"unix:path={self.socket_path}"
        self.process = None

    def _config(self):
        if not self.services:
            return SIM_BUS_CONFIG
        folder = os.path.join(self.workdir, "services")
        os.makedirs(folder, exist_ok=True)
        for name, command in self.services.items():
            with open(os.path.join(folder, f"{name}.service"), "w") as service:
                service.write(f"[D-BUS Service]\nName={name}\nExec={command}\n")
        config = os.path.join(self.workdir, "bus.conf")
        with open(config, "w") as conf:
            conf.write('<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"\n'
                       ' "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">\n'
                       f"<busconfig>\n  <include>{SIM_BUS_CONFIG}</include>\n"
                       f"  <servicedir>{folder}</servicedir>\n</busconfig>\n")
        return config

    def start(self, timeout=10):
        self.process = _popen(
            [DBUS_DAEMON, f"--config-file={self._config()}", "--nofork", "--print-address",
             f"--address={self.address}"],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        # The daemon prints its address once it listens.
        if not self.process.stdout.readline():
            raise RuntimeError("dbus-daemon did not start")
        self.process.stdout.close()
        _wait_for(lambda: os.path.exists(self.socket_path), timeout, "the private bus socket")
        return self

    def environ(self):
        """What a client needs to take this bus for the system bus."""
        return {"DBUS_SYSTEM_BUS_ADDRESS": self.address}

    def alive(self):
        return self.process is not None and self.process.poll() is None

    def stop(self, timeout=10):
        return _stop_process(self.process, timeout)


def name_has_owner(address, name):
    import dbus
    connection = dbus.bus.BusConnection(address)
    try:
        return bool(connection.name_has_owner(name))
    finally:
        connection.close()


class PemraSim:
    """The built pemra_sim serving "org.bluez" on a private bus."""

    def __init__(self, binary, bus, workdir, args=()):
        self.binary = os.path.abspath(binary)
        self.bus = bus
        self.args = list(args)
        self.log_path = os.path.join(workdir, "pemra_sim.log")
        self.process = None

    def start(self, timeout=10):
        log = open(self.log_path, "wb")
        self.process = _popen([self.binary, "--bus", self.bus.address, *self.args],
                                        stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
        log.close()

        def serving():
            if self.process.poll() is not None:
                raise RuntimeError(f"pemra_sim exited with {self.process.returncode}:\n{self.log()}")
            return name_has_owner(self.bus.address, BLUEZ_NAME)

        _wait_for(serving, timeout, "pemra_sim to own org.bluez")
        return self

    def log(self):
        with open(self.log_path, errors="replace") as log:
            return log.read()

    def alive(self):
        return self.process is not None and self.process.poll() is None

    def stop(self, timeout=10):
        return _stop_process(self.process, timeout)
