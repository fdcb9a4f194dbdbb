"""End-to-end benchmarks of the driver: Debian's pcscd loading the built
driver, a private bus, and pemra_sim as BlueZ with one reader; beside it the
anchor, Debian's vsmartcard (vpcd in pcscd, vicc as the card), driven by the
same client. Prints figures and asserts nothing; see bench/README.md.

Usage: /usr/bin/python3 bench/run_benchmarks.py BUILD_DIR [--quick] [--only SECTION ...]
(BUILD_DIR configured by scripts/build, so that its driver keeps its keys in
BUILD_DIR/keys/; as root, for pcscd's private /run).
"""

import argparse
import contextlib
import os
import random
import re
import shutil
import socket
import statistics
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "sim"))

import simctl  # noqa: E402
import stack  # noqa: E402

VPCD = "/usr/lib/pcsc/drivers/serial/libifdvpcd.so"
VICC = "/usr/bin/vicc"
# Debian's vicc 3.3 finds neither its own modules nor "Crypto" (Debian ships
# pycryptodome as "Cryptodome") by itself.
VICC_MODULES = "/usr/lib/python3/site-packages/virtualsmartcard"
CRYPTODOME = "/usr/lib/python3/dist-packages/Cryptodome"
ANCHOR_READER = "Baseline VPCD"
READER_ADDRESS = "E1:A5:00:00:00:01"  # the stand-in's first reader

GET_CHALLENGE = bytes.fromhex("008400000A")  # 10 random bytes and 90 00
SMALL_NOTIFY = 20    # the stand-in's default: an MTU of 23, BLE's smallest
LARGE_NOTIFY = 244   # an MTU of 247, what current phones and adapters agree
INTERVALS_MS = (7.5, 30, 50)
SETTLE_MS = 200      # the tunnel's settle time after a reply that went wrong
CARD_PRESENT = 0x20  # SCARD_STATE_PRESENT
POLL_S = 0.4         # pcscd's presence poll of a driver without an event wait of its own
RESCAN_S = 1.5       # the driver rescans 1 s after a disconnect: a reconnect waits until that has passed
WAIT_BLOCKS_S = 0.1  # time for a waiting thread to reach its blocking SCardGetStatusChange
CONNECT_RETRY_S = 0.01  # a client that found no card tries SCardConnect again after this
PCSCD_POWER_OFF_S = 6  # pcscd powers a card down 5 s after its last client
PCSCD_DEBUG_LINE = re.compile(r"(\d{8}) \w+\.c:\d+:")  # "00000012 winscard.c:258:SCardConnect() ..."


def echo(length):
    """The stand-in card's ECHO (80 EE 00 00) of `length` bytes in all, its
    data counting bytes; extended form when the data exceed 255 bytes."""
    if length <= 5 + 255:
        data = length - 5
        header = bytes([0x80, 0xEE, 0, 0, data])
    else:
        data = length - 7
        header = bytes([0x80, 0xEE, 0, 0, 0, data >> 8, data & 0xFF])
    return header + bytes(i % 256 for i in range(data))


def shapes(largest):
    """(name, APDU, length of the stand-in card's response) of each shape."""
    return [("5 B", GET_CHALLENGE, 12), ("200 B", echo(200), 195 + 2),
            (f"{largest} B (max)", echo(largest), largest - 7 + 2)]


# ---------------------------------------------------------------- helpers

def free_port_pair():
    """A TCP port P with P+1 free too (vpcd listens on both)."""
    for _ in range(50):
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        if port < 65535 and _port_free(port) and _port_free(port + 1):
            return port
    raise RuntimeError("no free pair of TCP ports")


def _port_free(port):
    with socket.socket() as probe:
        try:
            probe.bind(("0.0.0.0", port))
            return True
        except OSError:
            return False


def median(values):
    return statistics.median(values) if values else float("nan")


def machine():
    model = next((line.split(":", 1)[1].strip() for line in
                  subprocess.run(["lscpu"], capture_output=True, text=True).stdout.splitlines()
                  if line.startswith("Model name")), "?")
    return f"{model}, {os.cpu_count()} CPUs, {' '.join(os.uname()[i] for i in (0, 2, 4))}"


def load_average():
    return " ".join(f"{x:.1f}" for x in os.getloadavg())


@contextlib.contextmanager
def pcsc_context():
    """A PC/SC context of this process, released at the end."""
    from smartcard import scard
    rc, context = scard.SCardEstablishContext(scard.SCARD_SCOPE_USER)
    if rc != scard.SCARD_S_SUCCESS:
        raise RuntimeError(f"SCardEstablishContext: {scard.SCardGetErrorMessage(rc)}")
    try:
        yield context
    finally:
        scard.SCardReleaseContext(context)


def pause_at_random_poll_phase(pause):
    """Sleeps `pause` and a random part of pcscd's poll period. A wait for a
    card event returns just after one of pcscd's presence polls: after a
    fixed pause the next event would always meet the poll at the same phase."""
    time.sleep(pause + random.uniform(0, POLL_S))


class RoundTripClient:
    """The C++ client (bench/apdu_round_trip.cpp), connected to one reader of
    one pcscd; answers one line per command."""

    def __init__(self, binary, reader, socket_path, timeout=15):
        env = dict(os.environ, PCSCLITE_CSOCK_NAME=socket_path)
        deadline = time.monotonic() + timeout
        while True:
            # Connecting fails until the card is present: try again.
            self.process = subprocess.Popen([binary, reader], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                            stderr=subprocess.PIPE, text=True, env=env)
            try:
                self.max_input = int(self.ask("maxinput").split()[1])
                return
            except RuntimeError:
                self.close()
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.2)

    def ask(self, command):
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()
        answer = self.process.stdout.readline()
        if not answer:
            raise RuntimeError(f"client: {self.process.stderr.read().strip()}")
        return answer

    def run(self, apdu, count):
        words = self.ask(f"run {count} {apdu.hex()}").split()[1:]
        return {key: float(value) for key, value in (word.split("=") for word in words)}

    def close(self):
        self.process.stdin.close()
        self.process.wait(30)
        self.process.stdout.close()
        self.process.stderr.close()


def timed_run(client, pcscd, apdu, count, warmup):
    """Warm-up, then `count` APDUs with pcscd's CPU time around them."""
    if warmup:
        client.run(apdu, warmup)
    cpu = pcscd.cpu_seconds()
    result = client.run(apdu, count)
    result["pcscd_ms_per_1000"] = (pcscd.cpu_seconds() - cpu) * 1e6 / max(result["count"], 1)
    return result


class BusMonitor:
    """dbus-monitor --profile on the private bus: one line per message, with
    the time the monitor saw it."""

    def __init__(self, address, path):
        self.path = path
        with open(path, "w") as out:
            self.process = subprocess.Popen(["stdbuf", "-oL", "dbus-monitor", "--address", address, "--profile"],
                                            stdout=out, stderr=subprocess.DEVNULL)
        time.sleep(0.3)

    def mark(self):
        """Where the messages from now on start."""
        time.sleep(0.1)  # what is on its way is older
        return os.path.getsize(self.path)

    def messages(self, mark):
        """(type, time, sender, destination, path, member) of each message
        since `mark`; path and member are empty for replies."""
        time.sleep(0.2)  # the monitor writes as it receives
        found = []
        with open(self.path) as lines:
            lines.seek(mark)
            for line in lines:
                fields = line.rstrip("\n").split("\t")
                if len(fields) < 5 or fields[0] not in ("mc", "mr", "sig", "err"):
                    continue
                path, member = (fields[5], fields[7]) if len(fields) >= 8 else ("", "")
                found.append((fields[0], float(fields[1]), fields[3], fields[4], path, member))
        return found

    def stop(self):
        self.process.terminate()
        self.process.wait(10)


# ------------------------------------------------------------ our stack

class OurStack:
    def __init__(self, build, workdir):
        self.build = build
        self.workdir = workdir
        os.makedirs(workdir)
        self.bus = stack.PrivateBus(workdir).start()
        self.sim = stack.PemraSim(os.path.join(build, "sim", "pemra_sim"), self.bus, workdir,
                                  ("--log-capacity", "20000")).start()
        self.control = simctl.SimControl(self.bus.address)
        self.pcscd = stack.PrivatePcscd(os.path.join(build, "driver", "libpemra_ifd.so"),
                                        os.path.join(workdir, "pcscd"), env=self.bus.environ())
        os.makedirs(self.pcscd.workdir)
        self.pcscd.start()
        self.client_binary = os.path.join(build, "bench", "pemra_apdu_round_trip")
        self.char8 = self._characteristic_path(8)
        self.char9 = self._characteristic_path(9)

    def _characteristic_path(self, number):
        import dbus
        manager = dbus.Interface(self.control.connection.get_object("org.bluez", "/"),
                                 "org.freedesktop.DBus.ObjectManager")
        for path, interfaces in manager.GetManagedObjects().items():
            uuid = str(interfaces.get("org.bluez.GattCharacteristic1", {}).get("UUID", ""))
            if uuid.startswith(f"0000000{number}-"):
                return str(path)
        raise RuntimeError(f"no characteristic {number}")

    @contextlib.contextmanager
    def monitored(self):
        """A bus monitor for a while: it costs the bus and the CPUs, so the
        timed runs go without."""
        monitor = BusMonitor(self.bus.address, os.path.join(self.workdir, "monitor.txt"))
        try:
            yield monitor
        finally:
            monitor.stop()

    def client(self):
        return RoundTripClient(self.client_binary, stack.READER_NAME, self.pcscd.socket_path)

    def stop(self):
        self.pcscd.stop()
        self.control.close()
        self.sim.stop()
        self.bus.stop()


# ------------------------------------------------------------ the figures

def radio_cost(our, client, apdu, count):
    """GATT operations and D-Bus messages per APDU, from the stand-in's log
    and the bus monitor, over `count` APDUs (after a warm-up)."""
    client.run(apdu, 3)
    our.control.clear_log()
    with our.monitored() as monitor:
        mark = monitor.mark()
        result = client.run(apdu, count)
        messages = monitor.messages(mark)
    log = our.control.log()
    per = max(result["count"], 1)
    ops = {"write": 0, "read": 0, "notify": 0}
    for entry in log:
        if entry.event in ("write", "read") or (entry.event == "notify" and entry.detail == "4"):
            ops[entry.event] += 1
    control_name = our.control.connection.get_unique_name()
    messages = [m for m in messages
                if control_name not in (m[2], m[3]) and "org.freedesktop.DBus" not in (m[2], m[3])]
    framings = {entry.detail for entry in log if entry.event == "message"}
    measured = {k: v / per for k, v in ops.items()}
    measured["dbus"] = len(messages) / per
    measured["span_us"] = median(radio_spans(messages)) * 1e6
    return measured, framings


def radio_spans(messages):
    """For each APDU, the time from the driver's first GATT call to the
    reply's last notification, as the bus saw them: the stand-in's part of
    the round trip, with the driver's turns between awaited calls. A call
    after a notification starts the next APDU."""
    spans, start, last = [], None, None
    for kind, when, _, _, _, member in messages:
        if kind == "mc" and (start is None or last is not None):
            if last is not None:
                spans.append(last - start)
            start, last = when, None
        elif kind == "sig" and member == "PropertiesChanged" and start is not None:
            last = when
    if last is not None:
        spans.append(last - start)
    return spans


def minimum_cost(apdu_length, response_length, chunk, notify):
    """The fewest GATT operations and D-Bus messages one APDU can take: the
    request is 02 05 + APDU, sent as FF + ciphertext + 4-byte tag; the reply
    is ciphertext + tag of 00 + response. A message shorter than chunk - 1
    goes in one write to 7 (2 length bytes first) and its reply header rides
    in fragment 0; longer ones take a length write to 1, chunks to 2 and a
    header read from 3. A notification carries notify - 1 reply bytes."""
    request = apdu_length + 2 + 5
    reply = 1 + response_length + 4
    fragment = notify - 1
    if request < chunk - 1:
        ops = {"write": 1, "read": 0, "notify": -(-(reply + 4) // fragment)}
    else:
        ops = {"write": 1 + -(-request // chunk), "read": 1, "notify": -(-reply // fragment)}
    # Each call is a call and its reply; each notification one signal.
    ops["dbus"] = 2 * (ops["write"] + ops["read"]) + ops["notify"]
    return ops


def connection_interval_cost(our, client, apdu, count):
    rows = []
    for interval in INTERVALS_MS:
        our.control.set_fault("connection-interval-us", int(interval * 1000))
        result = client.run(apdu, count)
        rows.append((interval, result["median_us"] / 1000))
    our.control.set_fault("connection-interval-us", 0)
    return rows


def wait_for_card(context, reader, present, timeout=15):
    """Waits with SCardGetStatusChange until the card is (not) present;
    returns the time it said so."""
    from smartcard import scard
    deadline = time.monotonic() + timeout
    rc, states = scard.SCardGetStatusChange(context, 0, [(reader, scard.SCARD_STATE_UNAWARE, [])])
    state = states[0][1] & ~scard.SCARD_STATE_CHANGED
    while bool(state & CARD_PRESENT) != present:
        left = int((deadline - time.monotonic()) * 1000)
        if left <= 0:
            raise TimeoutError("card state did not change")
        rc, states = scard.SCardGetStatusChange(context, left, [(reader, state, [])])
        if rc == 0:
            state = states[0][1] & ~scard.SCARD_STATE_CHANGED
    return time.time()


def reader_with_card(context):
    """The reader's name, once pcscd lists it and reports its card: each
    figure starts from there (on a fresh stack the set-up takes a second)."""
    reader = stack.wait_for_reader(context)
    wait_for_card(context, reader, present=True)
    return reader


def pcscd_seconds_between(log, first, last):
    """Seconds between pcscd's debug lines holding `first` and then `last`:
    each of its lines begins with the microseconds since the line before.
    The driver's lines carry none, and a few of them end without a line
    break, so that pcscd's next line follows on the same line."""
    micros, counting = 0, False
    for line in log:
        delta = PCSCD_DEBUG_LINE.search(line)
        if counting and delta:
            micros += int(delta.group(1))
            if last in line:
                return micros / 1e6
        elif first in line:
            counting = True
    raise RuntimeError(f"no '{first}' then '{last}' in pcscd's log")


def time_to_card(our, connects, with_key):
    """From SetConnected(true) (connected, paired, resolved) to
    SCardGetStatusChange reporting the card, with its parts from the bus
    monitor: tunnel opened (StartNotify), set-up's first request, ready
    (the indication 01 00 on characteristic 9); and from pcscd's debug log,
    the presence poll that saw the card ("Card inserted into"), timed from
    its "Card Removed From" line, which the removal's wait returned with.
    Returns the seconds of each part, one per connect."""
    key_file = os.path.join(our.build, "keys", READER_ADDRESS)
    with pcsc_context() as context, our.monitored() as monitor:
        reader = reader_with_card(context)
        samples = [one_connect(our, monitor, context, reader, None if with_key else key_file)
                   for _ in range(connects)]
    return {part: [s[part] for s in samples] for part in samples[0]}


def one_connect(our, monitor, context, reader, key_to_remove):
    log_mark = len(our.pcscd.log().splitlines())
    our.control.set_connected(False)
    removed = wait_for_card(context, reader, present=False)
    pause_at_random_poll_phase(RESCAN_S)
    if key_to_remove and os.path.exists(key_to_remove):
        os.remove(key_to_remove)
    mark = monitor.mark()
    start = time.time()
    our.control.set_connected(True)
    seen = wait_for_card(context, reader, present=True)
    calls = gatt_calls(monitor.messages(mark), start, seen)
    tunnel = next(m[1] for m in calls if m[5] == "StartNotify")
    setup, ready = setup_times(calls, our.char9)
    log = our.pcscd.log().splitlines()[log_mark:]
    poll = removed + pcscd_seconds_between(log, "Card Removed From", "Card inserted into")
    return {"tunnel": tunnel - start, "setup": setup - start, "ready": ready - start,
            "poll": poll - start, "present": seen - start}


def gatt_calls(messages, start, end):
    """The GATT calls among the bus monitor's messages from `start` to `end`."""
    return [m for m in messages if start <= m[1] <= end and m[0] == "mc"
            and m[5] in ("StartNotify", "WriteValue", "ReadValue")]


def setup_times(calls, char9):
    """When a session's set-up started (the driver's first write) and when
    the session was ready (its last write to characteristic 9, the
    indication 01 00)."""
    setup = next(m[1] for m in calls if m[5] == "WriteValue")
    ready = [m[1] for m in calls if m[5] == "WriteValue" and m[4] == char9][-1]
    return setup, ready


def card_event_latency(our, events):
    """From the reader's status notification (the PropertiesChanged of
    characteristic 8 as the bus monitor saw it) to the return of a
    SCardGetStatusChange that was blocked before it, over `events`
    alternating removals and insertions. Returns (event, seconds) pairs."""
    fired = []
    with pcsc_context() as context, our.monitored() as monitor, ThreadPoolExecutor(1) as waiter:
        reader = reader_with_card(context)
        mark = monitor.mark()
        for index in range(events):
            insert = index % 2 == 1  # the card is in at first: a removal first
            seen = waiter.submit(wait_for_card, context, reader, insert)
            pause_at_random_poll_phase(WAIT_BLOCKS_S)
            start = time.time()
            change = our.control.insert_card if insert else our.control.remove_card
            change()
            fired.append(("insert" if insert else "remove", start, seen.result()))
        notified = [m[1] for m in monitor.messages(mark)
                    if m[0] == "sig" and m[4] == our.char8 and m[5] == "PropertiesChanged"]
    return [(event, seen - first_between(notified, start, seen)) for event, start, seen in fired]


def first_between(times, start, end):
    """The first of the ascending `times` from `start` to `end`."""
    within = [t for t in times if start <= t <= end]
    if not within:
        raise RuntimeError("the bus monitor saw no status notification between a control call and its event")
    return within[0]


def cold_starts(our, tries):
    """pcscd stopped and launched anew `tries` times, with the reader
    connected, paired, resolved and its key already agreed, and a client
    that connects as soon as pcscd answers (the socket listens before pcscd
    runs, as under socket activation). Returns, per try, whether the first
    SCardConnect got the card and the seconds from the launch to the answer
    of the first SCardConnect, to the session's set-up start and readiness
    (from the bus monitor) and to the first successful SCardConnect."""
    with pcsc_context() as context:
        reader_with_card(context)  # the key is agreed and stored
    results = []
    with our.monitored() as monitor:
        for _ in range(tries):
            our.pcscd.stop()
            mark = monitor.mark()
            launched = time.time()
            our.pcscd.start()
            result = connect_until_card(launched)
            calls = gatt_calls(monitor.messages(mark), launched, launched + result["connected"])
            setup, ready = setup_times(calls, our.char9)
            results.append(dict(result, setup=setup - launched, ready=ready - launched))
    return results


def connect_until_card(launched, timeout=15):
    """SCardConnect again every few milliseconds until it gets the card;
    times from `launched`."""
    from smartcard import scard
    first = None
    with pcsc_context() as context:
        reader = stack.wait_for_reader(context)
        while True:
            rc, card, _ = scard.SCardConnect(context, reader, scard.SCARD_SHARE_SHARED,
                                             scard.SCARD_PROTOCOL_T0 | scard.SCARD_PROTOCOL_T1)
            answered = time.time() - launched
            if first is None:
                first = {"first_got_card": rc == scard.SCARD_S_SUCCESS, "first": answered}
            if rc == scard.SCARD_S_SUCCESS:
                scard.SCardDisconnect(card, scard.SCARD_LEAVE_CARD)
                return dict(first, connected=answered)
            if rc != scard.SCARD_E_NO_SMARTCARD:
                raise RuntimeError(f"SCardConnect: {scard.SCardGetErrorMessage(rc)}")
            if answered > timeout:
                raise TimeoutError("no card after pcscd's start")
            time.sleep(CONNECT_RETRY_S)


def settle_figure(our, client, count):
    """The 5-byte median before and after one reply that did not decrypt,
    and the round trip right after it (which waits for the link to settle)."""
    before = client.run(GET_CHALLENGE, count)["median_us"]
    our.control.set_fault("corrupt-tag", 1)
    failed = client.run(GET_CHALLENGE, 1)
    next_one = client.run(GET_CHALLENGE, 1)["median_us"]
    after = client.run(GET_CHALLENGE, count)["median_us"]
    return before, failed["errors"], next_one, after


def long_run(our, client, count, warmup, at_start):
    pcscd = our.pcscd
    client.run(GET_CHALLENGE, warmup)
    after_warmup = pcscd.rss_kib()
    worker = pcscd.cpu_seconds("pemra-worker")
    total = pcscd.cpu_seconds()
    result = client.run(GET_CHALLENGE, count)
    return {"rss_start": at_start, "rss_warm": after_warmup, "rss_end": pcscd.rss_kib(),
            "count": result["count"], "errors": result["errors"], "median_us": result["median_us"],
            "worker_us": (pcscd.cpu_seconds("pemra-worker") - worker) * 1e6 / max(result["count"], 1),
            "pcscd_us": (pcscd.cpu_seconds() - total) * 1e6 / max(result["count"], 1)}


def thread_wakeups(pid):
    """{(thread id, name): voluntary context switches} of a process: a thread
    that sleeps and is woken counts one each time."""
    counts = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/comm") as comm:
                name = comm.read().strip()
            with open(f"/proc/{pid}/task/{tid}/status") as status:
                switches = next(int(line.split()[1]) for line in status
                                if line.startswith("voluntary_ctxt_switches:"))
        except (FileNotFoundError, ProcessLookupError):
            continue  # the thread ended meanwhile
        counts[(tid, name)] = switches
    return counts


def idle_wakeups(our, seconds):
    """Wake-ups per minute of pcscd's threads by name, while the reader sits
    connected with its card present and no client asks anything."""
    with pcsc_context() as context:
        reader_with_card(context)
    time.sleep(PCSCD_POWER_OFF_S)  # pcscd powers the card down after its last client
    before = thread_wakeups(our.pcscd.process.pid)
    time.sleep(seconds)
    after = thread_wakeups(our.pcscd.process.pid)
    per_name = {}
    for (tid, name), count in after.items():
        woken = count - before.get((tid, name), 0)
        per_name[name] = per_name.get(name, 0) + woken * 60 / seconds
    return per_name


def measure_ours(build, workdir, plan, sections, report):
    our = OurStack(build, workdir)
    try:
        if "apdu" in sections:
            measure_apdus(our, plan, report)
        if "card" in sections:
            report["card"] = {with_key: time_to_card(our, plan["connects"], with_key) for with_key in (True, False)}
        if "events" in sections:
            report["events"] = card_event_latency(our, plan["events"])
        if "cold-start" in sections:
            report["cold_starts"] = cold_starts(our, plan["cold_starts"])
        if "idle" in sections:
            report["idle"] = idle_wakeups(our, plan["idle_s"])
    finally:
        our.stop()


def measure_apdus(our, plan, report):
    client = our.client()
    rss_at_start = our.pcscd.rss_kib()
    largest = client.max_input
    report["largest"] = largest
    # Before the chunk size grows: the stand-in notifies 20 bytes.
    cost = report["cost"] = {}
    model = report["interval"] = {}
    for name, apdu, response in shapes(largest):
        measured, framings = radio_cost(our, client, apdu, plan["cost_apdus"])
        cost[(name, SMALL_NOTIFY)] = (measured, minimum_cost(len(apdu), response, 20, SMALL_NOTIFY),
                                      framings)
        model[(name, SMALL_NOTIFY)] = connection_interval_cost(our, client, apdu,
                                                               plan["interval_apdus"])
    latency = report["latency"] = {}
    for name, apdu, _ in shapes(largest):
        latency[(name, SMALL_NOTIFY)] = timed_run(client, our.pcscd, apdu, plan["apdus"], plan["warmup"])
    # After it has grown: the driver takes the longest notification it
    # has seen for its chunk size, so a reply that fills whole
    # notifications (the largest APDU's) raises it to the full size.
    our.control.set_notify_size(LARGE_NOTIFY)
    client.run(echo(largest), 2)
    for name, apdu, response in shapes(largest):
        measured, framings = radio_cost(our, client, apdu, plan["cost_apdus"])
        cost[(name, LARGE_NOTIFY)] = (measured, minimum_cost(len(apdu), response, LARGE_NOTIFY,
                                                             LARGE_NOTIFY), framings)
        model[(name, LARGE_NOTIFY)] = connection_interval_cost(our, client, apdu, plan["interval_apdus"])
        latency[(name, LARGE_NOTIFY)] = timed_run(client, our.pcscd, apdu, plan["apdus"], plan["warmup"])
    report["settle"] = settle_figure(our, client, plan["settle_apdus"])
    report["long"] = long_run(our, client, plan["long_apdus"], plan["warmup"], rss_at_start)
    client.close()


def start_vicc(port, env, timeout=15):
    """vicc as vpcd's card; it gives up at once when vpcd does not listen
    yet (pcscd loads the driver after it has started), so try again."""
    deadline = time.monotonic() + timeout
    while True:
        vicc = subprocess.Popen(["/usr/bin/python3", VICC, "-t", "iso7816", "-H", "127.0.0.1", "-P", str(port)],
                                env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        try:
            vicc.wait(3)
        except subprocess.TimeoutExpired:
            return vicc  # connected: it runs until vpcd goes away
        if time.monotonic() > deadline:
            raise RuntimeError("vicc could not connect to vpcd")


def measure_anchor(build, workdir, largest, plan, report):
    os.makedirs(workdir)
    port = free_port_pair()
    shim = os.path.join(build, "bench", "libpemra_tcp_nodelay_shim.so")
    pcscd = stack.PrivatePcscd(VPCD, workdir, env={"LD_PRELOAD": shim}, reader_name=ANCHOR_READER,
                               device_name=f"/dev/null:{port}").start()
    crypto = os.path.join(workdir, "python")
    os.makedirs(crypto)
    os.symlink(CRYPTODOME, os.path.join(crypto, "Crypto"))
    env = dict(os.environ, LD_PRELOAD=shim, PYTHONPATH=f"{VICC_MODULES}:{crypto}")
    vicc = start_vicc(port, env)
    try:
        client = RoundTripClient(os.path.join(build, "bench", "pemra_apdu_round_trip"), ANCHOR_READER,
                                 pcscd.socket_path)
        report["anchor_max_input"] = client.max_input
        report["anchor"] = {name: timed_run(client, pcscd, apdu, plan["apdus"], plan["warmup"])
                            for name, apdu, _ in shapes(largest)}
        client.close()
    finally:
        pcscd.stop()
        vicc.terminate()
        vicc.wait(10)


# ------------------------------------------------------------- printing

def print_report(report, plan):
    print(f"Machine: {machine()}; load average at the end {load_average()}")
    print(f"Mode: {plan['name']}; {plan['apdus']} APDUs per shape after {plan['warmup']} of warm-up")
    for key, print_section in (("latency", print_round_trip), ("cost", print_radio_cost),
                               ("interval", print_intervals), ("card", print_time_to_card),
                               ("long", print_long_run), ("settle", print_settle),
                               ("events", print_event_latency), ("cold_starts", print_cold_starts),
                               ("idle", print_idle_wakeups)):
        if key in report:
            print()
            print_section(report, plan)


def print_round_trip(report, plan):
    largest = report["largest"]
    print(f"1. APDU round trip through pcscd (µs; ours with the stand-in, notify {SMALL_NOTIFY} and "
          f"{LARGE_NOTIFY} bytes; anchor: vpcd + vicc, TCP_NODELAY; ratio: median ours / anchor)")
    print(f"{'shape':<16}{'stack':<14}{'median':>9}{'p90':>9}{'p99':>9}{'APDU/s':>9}{'pcscd ms/1000':>15}"
          f"{'answer B':>10}{'ratio':>8}{'target':>8}")
    for name, _, _ in shapes(largest):
        anchor = report["anchor"][name]
        target = 1.5 if name == "5 B" else 2.0
        for label, row in ((f"ours, n={SMALL_NOTIFY}", report["latency"][(name, SMALL_NOTIFY)]),
                           (f"ours, n={LARGE_NOTIFY}", report["latency"][(name, LARGE_NOTIFY)]),
                           ("anchor", anchor)):
            ratio = f"{row['median_us'] / anchor['median_us']:.2f}" if label != "anchor" else ""
            print(f"{name:<16}{label:<14}{row['median_us']:>9.0f}{row['p90_us']:>9.0f}{row['p99_us']:>9.0f}"
                  f"{row['per_s']:>9.0f}{row['pcscd_ms_per_1000']:>15.1f}{row['response_bytes']:>10.0f}{ratio:>8}"
                  f"{'<= ' + str(target) if label != 'anchor' else '':>8}")
    print(f"   (largest APDU: SCARD_ATTR_MAXINPUT {largest}; the anchor reports "
          f"{report['anchor_max_input'] or 'none'} and gets the same APDUs; its card has no ECHO and answers "
          "with a status word only)")


def print_radio_cost(report, plan):
    print("2. Radio cost per APDU: measured / protocol minimum")
    print(f"{'shape':<16}{'notify':>7}{'framing':>9}{'writes':>11}{'reads':>9}{'notifs':>11}{'D-Bus msgs':>13}"
          f"{'span µs':>9}  excess")
    for (name, notify), (measured, minimum, framings) in report["cost"].items():
        excess = [k for k in minimum if measured[k] > minimum[k] + 0.01]
        cells = "".join(f"{measured[k]:>{w - len(str(minimum[k])) - 1}.2f}/{minimum[k]}"
                        for k, w in (("write", 11), ("read", 9), ("notify", 11), ("dbus", 13)))
        print(f"{name:<16}{notify:>7}{'/'.join(sorted(framings)):>9}{cells}{measured['span_us']:>9.0f}  "
              f"{', '.join(excess) or 'none'}")
    print("   (span: median time from the driver's first GATT call of an APDU to the reply's last notification, "
          "as the bus saw them: the stand-in's share of the round trip, with the driver's turns between "
          "awaited calls)")


def print_intervals(report, plan):
    print("3. Connection-interval model (stand-in: one answer or notification per connection event), "
          "median ms per APDU")
    print(f"{'shape':<16}{'notify':>7}" + "".join(f"{f'{i} ms':>10}" for i in INTERVALS_MS)
          + "   events (minimum GATT ops)")
    for (name, notify), rows in report["interval"].items():
        minimum = report["cost"][(name, notify)][1]
        events = minimum["write"] + minimum["read"] + minimum["notify"]
        print(f"{name:<16}{notify:>7}" + "".join(f"{ms:>10.1f}" for _, ms in rows) + f"   {events}")


def print_time_to_card(report, plan):
    print(f"4. Time to card present over {plan['connects']} connects (ms after SetConnected: connected, paired, "
          "resolved; medians, and the worst time to present)")
    print(f"{'key file':<10}{'tunnel':>9}{'set-up start':>14}{'ready':>9}{'poll saw it':>13}{'present':>9}"
          f"{'worst':>9}{'target':>10}")
    for with_key, parts in report["card"].items():
        medians = {part: median(seconds) * 1000 for part, seconds in parts.items()}
        print(f"{'kept' if with_key else 'removed':<10}{medians['tunnel']:>9.0f}{medians['setup']:>14.0f}"
              f"{medians['ready']:>9.0f}{medians['poll']:>13.0f}{medians['present']:>9.0f}"
              f"{max(parts['present']) * 1000:>9.0f}{'<= 1060':>10}")
    print("   (tunnel: the driver's StartNotify; set-up start: its first write, 1 s after the session began; "
          "ready: the indication 01 00; poll: pcscd's 'Card inserted into' line; present: the client's "
          "SCardGetStatusChange; target: median and worst)")


def print_long_run(report, plan):
    long = report["long"]
    print(f"5. Long run: {long['count']:.0f} GET CHALLENGE APDUs ({long['errors']:.0f} errors), median "
          f"{long['median_us']:.0f} µs")
    print(f"   pcscd RSS: {long['rss_start']} KiB at start, {long['rss_warm']} KiB after warm-up, "
          f"{long['rss_end']} KiB at the end (growth after warm-up {long['rss_end'] - long['rss_warm']} KiB)")
    print(f"   CPU per APDU: driver thread pemra-worker {long['worker_us']:.1f} µs, all of pcscd "
          f"{long['pcscd_us']:.1f} µs")


def print_settle(report, plan):
    before, errors, next_one, after = report["settle"]
    print(f"6. Settle after an abandoned reply ({SETTLE_MS} ms): 5-byte median {before:.0f} µs before one "
          f"corrupted reply ({errors:.0f} failed APDU), the next APDU {next_one / 1000:.0f} ms (waits for the "
          f"settle), then median {after:.0f} µs again")


def print_event_latency(report, plan):
    events = report["events"]
    print(f"7. Card-event latency over {len(events)} events (ms from the reader's status notification on "
          "characteristic 8, as the bus monitor saw it, to the return of a blocked SCardGetStatusChange)")
    print(f"{'event':<10}{'count':>7}{'median':>9}{'worst':>9}   target")
    for label, kinds in (("remove", ("remove",)), ("insert", ("insert",)), ("all", ("remove", "insert"))):
        seconds = [s for event, s in events if event in kinds]
        target = "median <= 20, worst <= 50" if label == "all" else ""
        print(f"{label:<10}{len(seconds):>7}{median(seconds) * 1000:>9.1f}{max(seconds) * 1000:>9.1f}   {target}")
    print("   (insert: up to pcscd's power-up of the card, which comes before it tells the clients; events at "
          "random points of pcscd's presence poll)")


def print_cold_starts(report, plan):
    tries = report["cold_starts"]
    got_card = sum(t["first_got_card"] for t in tries)
    first = [t["first"] * 1000 for t in tries]
    connected = [t["connected"] * 1000 for t in tries]
    print(f"8. Cold start over {len(tries)} tries (pcscd launched anew with the reader connected, paired, "
          "resolved and its key stored; a client connects as soon as pcscd answers)")
    print(f"   card at the first SCardConnect: {got_card} of {len(tries)} (target: every try); that "
          f"SCardConnect answered {median(first):.0f} ms after the launch (median)")
    print(f"   session set-up start {median([t['setup'] * 1000 for t in tries]):.0f} ms, ready "
          f"{median([t['ready'] * 1000 for t in tries]):.0f} ms after the launch (medians)")
    print(f"   first successful SCardConnect, retrying every {CONNECT_RETRY_S * 1000:.0f} ms: median "
          f"{median(connected):.0f} ms, worst {max(connected):.0f} ms after the launch")



def print_idle_wakeups(report, plan):
    per_name = report["idle"]
    print(f"9. Idle cost over {plan['idle_s']} s (wake-ups per minute of pcscd's threads, by name: voluntary "
          "context switches; the reader connected with its card, no client)")
    for name, per_minute in sorted(per_name.items()):
        print(f"{name:<16}{per_minute:>8.0f}")
    print(f"{'all of pcscd':<16}{sum(per_name.values()):>8.0f}")

PLANS = {
    "full": {"name": "full", "apdus": 3000, "warmup": 300, "cost_apdus": 50, "interval_apdus": 5,
             "connects": 20, "long_apdus": 100_000, "settle_apdus": 1000, "events": 40, "cold_starts": 10,
             "idle_s": 60},
    "quick": {"name": "quick", "apdus": 300, "warmup": 50, "cost_apdus": 20, "interval_apdus": 2,
              "connects": 5, "long_apdus": 10_000, "settle_apdus": 200, "events": 6, "cold_starts": 3,
              "idle_s": 10},
}


SECTIONS = {
    "apdu": "round trip, radio cost, connection intervals, long run, settle (1-3, 5, 6; with the anchor)",
    "card": "time to card present after a connect (4)",
    "events": "card-event latency (7)",
    "cold-start": "the first client after pcscd's start (8)",
    "idle": "wake-ups of pcscd's threads while nothing happens (9)",
}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     epilog="sections: " + "; ".join(f"{name}: {what}"
                                                                     for name, what in SECTIONS.items()))
    parser.add_argument("build", help="build folder (scripts/build)")
    parser.add_argument("--quick", action="store_true", help="fewer APDUs, connects and events: a minute or two")
    parser.add_argument("--only", action="append", choices=SECTIONS, metavar="SECTION",
                        help="run only this section (repeatable; default: all)")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    plan = PLANS["quick" if args.quick else "full"]
    sections = set(args.only or SECTIONS)
    workdir = stack.make_workdir("pemra-bench-")
    report = {}
    try:
        measure_ours(build, os.path.join(workdir, "ours"), plan, sections, report)
        if "apdu" in sections:
            measure_anchor(build, os.path.join(workdir, "anchor"), report["largest"], plan, report)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    print_report(report, plan)


if __name__ == "__main__":
    main()
