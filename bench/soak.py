"""Soak run of the whole stack: many APDUs through Debian's pcscd, the built
driver, a private bus and pemra_sim as BlueZ, while the card is taken out and
put back and the reader drops its link and comes back. Prints the APDU rate,
the failures (those while the card or the reader is away, which must fail,
apart from the others, which must not happen) and pcscd's resident size at
the start, after a warm-up of card and link events and at the end; after the
warm-up it must not grow.

pcscd's size moves within a reader session (buffers, D-Bus traffic; the
driver hands free memory back to the system when a session ends), so sizes
are compared at the same point of a session: just after the reader has come
back, which varies by a few pages with how far the new session has come.
The reference is the lowest of the last ten such sizes of the warm-up, the
end the lowest of the last ten of the run, which closes with a reconnect; a
driver that kept some 100 bytes per session would raise it by a page over
the run's 50 reconnects.

pcscd runs with glibc's per-thread malloc cache off (--keep-tcache leaves it
on). With the cache, pcscd's size creeps up by a few KiB per reader session
for a long time while the heap in use stays flat (massif) and memcheck finds
no loss: the caches of every thread fill with more and more chunk sizes, up
to their fixed bound. Without it the size follows the heap in use.

With --valgrind, pcscd runs under valgrind's memcheck for a shorter run, and
the loss records that reach the driver's code are reported: none may be
"definitely lost".

Usage (as root, from the source tree, after scripts/build BUILD):
  /usr/bin/python3 bench/soak.py BUILD [--apdus N] [--card-every N] [--reconnect-every N]
                                       [--warm-up-cycles N] [--keep-tcache]
  /usr/bin/python3 bench/soak.py BUILD --valgrind
Exits non-zero on an unexpected failure, on growth after the warm-up, or on
memory that the driver loses.
"""

import argparse
import os
import re
import shutil
import signal
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "sim"))

from smartcard import scard  # noqa: E402

import simctl  # noqa: E402
import stack  # noqa: E402

SOURCE_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SUPPRESSIONS = os.path.join(SOURCE_ROOT, "bench", "valgrind.supp")
PAGE_KIB = os.sysconf("SC_PAGE_SIZE") // 1024
# Echoes of 1 to this many bytes, in turn.
APDU_SIZES = 250
# Reconnects whose sizes give the reference and the end: the lowest of them.
SIZE_WINDOW = 10
NO_TCACHE = {"GLIBC_TUNABLES": "glibc.malloc.tcache_count=0"}
PROTOCOLS = scard.SCARD_PROTOCOL_T0 | scard.SCARD_PROTOCOL_T1


def echo(data):
    """The stand-in card's echo command: its response is the data and 90 00."""
    return [0x80, 0xEE, 0x00, 0x00, len(data), *data]


def wait_until(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise TimeoutError(f"timed out waiting for {what}")
        time.sleep(0.05)


class Counts:
    def __init__(self):
        self.apdus = 0
        self.expected_failures = 0
        self.unexpected_failures = 0
        self.card_cycles = 0
        self.reconnects = 0


class Soak:
    """One client of the private pcscd, sending APDUs through one handle and
    opening a new one after every card or link event."""

    def __init__(self, pcscd, control, timeout):
        self.pcscd = pcscd
        self.control = control
        self.timeout = timeout
        self.counts = Counts()
        # pcscd's resident size just after each reconnect, in KiB.
        self.rss_after_reconnects = []
        rc, self.context = scard.SCardEstablishContext(scard.SCARD_SCOPE_USER)
        if rc != 0:
            raise RuntimeError(scard.SCardGetErrorMessage(rc))
        self.reader = stack.wait_for_reader(self.context, timeout=timeout)
        self.card = None
        self.protocol = None

    def close(self):
        self.disconnect()
        scard.SCardReleaseContext(self.context)

    def card_present(self):
        rc, states = scard.SCardGetStatusChange(self.context, 0, [(self.reader, scard.SCARD_STATE_UNAWARE)])
        return rc == 0 and bool(states[0][1] & scard.SCARD_STATE_PRESENT)

    def wait_for_card(self, present=True):
        wait_until(lambda: self.card_present() == present, self.timeout,
                   "the card" if present else "the card to go")

    def connect(self):
        rc, self.card, self.protocol = scard.SCardConnect(self.context, self.reader, scard.SCARD_SHARE_SHARED,
                                                          PROTOCOLS)
        if rc != 0:
            self.card = None
        return rc == 0

    def disconnect(self):
        if self.card is not None:
            scard.SCardDisconnect(self.card, scard.SCARD_LEAVE_CARD)
            self.card = None

    def apdu(self, index):
        """One echo of 1 to 250 bytes, so that both framings are used."""
        data = [(index + k) & 0xFF for k in range(1 + index % APDU_SIZES)]
        self.counts.apdus += 1
        if self.card is None and not self.connect():
            return False
        rc, response = scard.SCardTransmit(self.card, self.protocol, echo(data))
        return rc == 0 and response == data + [0x90, 0x00]

    def apdus(self, first, count):
        for index in range(first, first + count):
            if not self.apdu(index):
                self.counts.unexpected_failures += 1

    def apdus_while_away(self, count=3):
        """The card or the reader is away: every APDU must fail."""
        self.disconnect()
        for index in range(count):
            if self.apdu(index):
                self.counts.unexpected_failures += 1
            else:
                self.counts.expected_failures += 1
        self.disconnect()

    def cycle_card(self):
        self.control.remove_card()
        self.wait_for_card(present=False)
        self.apdus_while_away()
        self.control.insert_card()
        self.wait_for_card()
        self.counts.card_cycles += 1

    def reconnect_reader(self):
        self.control.set_connected(False)
        self.wait_for_card(present=False)
        self.apdus_while_away()
        self.control.set_connected(True)
        self.wait_for_card()
        self.counts.reconnects += 1
        self.rss_after_reconnects.append(self.pcscd.rss_kib())

    def run(self, total, card_every, reconnect_every, after_step):
        """`total` APDUs with the card cycled every `card_every` and the reader
        reconnected every `reconnect_every` of them; `after_step(done)` is
        called at every multiple of 1000, after every event and at the end."""
        done = 0
        while done < total:
            step = min(total - done, card_every - done % card_every, reconnect_every - done % reconnect_every,
                       1000 - done % 1000)
            self.apdus(done, step)
            done += step
            if done % card_every == 0 and done < total:
                self.cycle_card()
            if done % reconnect_every == 0 and done < total:
                self.reconnect_reader()
            after_step(done)


def start_stack(build, workdir, wrapper, timeout, pcscd_env):
    bus = stack.PrivateBus(workdir).start()
    sim = stack.PemraSim(os.path.join(build, "sim", "pemra_sim"), bus, workdir).start()
    control = simctl.SimControl(bus.address)
    pcscd = stack.PrivatePcscd(os.path.join(build, "driver", "libpemra_ifd.so"), workdir,
                               env={**bus.environ(), **pcscd_env}, wrapper=wrapper).start()
    soak = Soak(pcscd, control, timeout)
    soak.wait_for_card()
    return bus, sim, control, pcscd, soak


def valgrind_wrapper(log_path):
    # Full source paths, so that the driver's frames can be told apart.
    return ["valgrind", "--tool=memcheck", "--leak-check=full", "--show-leak-kinds=definite,possible",
            "--num-callers=40", "--fullpath-after=", f"--suppressions={SUPPRESSIONS}",
            "--gen-suppressions=all", f"--log-file={log_path}"]


def valgrind_records(log):
    """The error and loss records of valgrind's log, by kind: "definitely
    lost", "possibly lost" or "error" (invalid accesses, uninitialised
    values, bad frees)."""
    records = {"definitely lost": [], "possibly lost": [], "error": []}
    for lines in valgrind_paragraphs(log):
        lost = re.search(r"are (definitely lost|possibly lost) in loss record", lines[0])
        if lost:
            records[lost.group(1)].append("\n".join(lines))
        elif re.match(r"(Invalid|Conditional jump|Use of uninitialised|Syscall param|Mismatched|"
                      r"Source and destination overlap)", lines[0]):
            records["error"].append("\n".join(lines))
    return records


def valgrind_paragraphs(log):
    """valgrind's own lines ("==pid== ..."), without the prefix, in groups
    separated by its empty lines; the suggested suppressions in between are
    left out."""
    paragraph = []
    for line in re.findall(r"^==\d+== ?(.*)$", log, re.M) + [""]:
        if line.strip():
            paragraph.append(line)
        elif paragraph:
            yield paragraph
            paragraph = []


def report_valgrind(log_path, source_root):
    """Prints valgrind's summary and every record that passes through the
    driver's source; true when none of them is a definite loss or an error."""
    with open(log_path, errors="replace") as log:
        text = log.read()
    summary = [line.split("== ", 1)[1] for line in text.splitlines()
               if re.search(r"(definitely lost|indirectly lost|possibly lost|still reachable|ERROR SUMMARY):", line)]
    print("valgrind:", *summary, sep="\n  ")
    ours = {kind: [r for r in records if source_root in r] for kind, records in valgrind_records(text).items()}
    for kind, records in ours.items():
        print(f"{kind} through the driver's code: {len(records)}")
        for record in records:
            print(record)
    return not ours["definitely lost"] and not ours["error"]


def warm_up(soak, cycles):
    """Card and link events back to back, with APDUs of every size of the
    run between them, so that what is made once (the first session, pcscd's
    card handling, buffers for the largest messages) is made before the
    reference size is taken."""
    for _ in range(cycles):
        soak.apdus(0, APDU_SIZES)
        soak.cycle_card()
        soak.reconnect_reader()


def settled_rss(soak):
    """pcscd's size at the same point of a session: the lowest of the last
    ten sizes just after the reader came back (the current size before the
    first reconnect)."""
    return min(soak.rss_after_reconnects[-SIZE_WINDOW:], default=soak.pcscd.rss_kib())


def soak_run(soak, pcscd, total, card_every, reconnect_every, cycles):
    """The warm-up, then the measured run closed by a reconnect; returns
    pcscd's sizes."""
    sizes = {"start": pcscd.rss_kib()}
    warm_up(soak, cycles)
    sizes["after warm-up"] = settled_rss(soak)
    counts = soak.counts
    first_apdu = counts.apdus
    started = time.monotonic()

    def rate():
        return (counts.apdus - first_apdu) / (time.monotonic() - started)

    def progress(done):
        if done % 1000 == 0 or done == total:
            print(f"{done} APDUs, {rate():.0f}/s, rss {pcscd.rss_kib()} KiB, "
                  f"failures {counts.expected_failures} expected / {counts.unexpected_failures} unexpected",
                  flush=True)

    soak.run(total, card_every, reconnect_every, progress)
    soak.reconnect_reader()
    sizes["end"] = settled_rss(soak)
    print(f"APDUs: {counts.apdus - first_apdu} in {time.monotonic() - started:.1f} s, {rate():.0f}/s; "
          f"with the warm-up, card removed {counts.card_cycles} times, reader reconnected {counts.reconnects} times")
    print(f"failures: {counts.expected_failures} expected (card or reader away), "
          f"{counts.unexpected_failures} unexpected")
    print("pcscd rss: " + ", ".join(f"{name} {kib} KiB" for name, kib in sizes.items()))
    print("pcscd rss just after each reconnect, KiB:", *soak.rss_after_reconnects)
    return sizes


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("build", help="the build folder (scripts/build BUILD)")
    parser.add_argument("--apdus", type=int, help="APDUs in all (default 100000, 500 with --valgrind)")
    parser.add_argument("--card-every", type=int, help="APDUs between card removals (default 5000, 250)")
    parser.add_argument("--reconnect-every", type=int, help="APDUs between link losses (default 2000, 300)")
    parser.add_argument("--warm-up-cycles", type=int,
                        help="card removals and link losses before the reference size (default 30, 0)")
    parser.add_argument("--keep-tcache", action="store_true",
                        help="leave glibc's per-thread malloc cache on in pcscd (see above)")
    parser.add_argument("--valgrind", action="store_true", help="pcscd under valgrind's memcheck")
    args = parser.parse_args()
    # Stopped with SIGTERM, the script still stops what it started.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    short = args.valgrind
    total = args.apdus or (500 if short else 100000)
    card_every = args.card_every or (250 if short else 5000)
    reconnect_every = args.reconnect_every or (300 if short else 2000)
    cycles = args.warm_up_cycles if args.warm_up_cycles is not None else (0 if short else 30)

    workdir = stack.make_workdir("pemra-soak-")
    valgrind_log = os.path.join(workdir, "valgrind.log")
    wrapper = valgrind_wrapper(valgrind_log) if short else ()
    bus = sim = control = pcscd = soak = None
    try:
        bus, sim, control, pcscd, soak = start_stack(os.path.abspath(args.build), workdir, wrapper,
                                                     120 if short else 15, {} if args.keep_tcache else NO_TCACHE)
        sizes = soak_run(soak, pcscd, total, card_every, reconnect_every, cycles)
        ok = soak.counts.unexpected_failures == 0
        if not short:
            growth = sizes["end"] - sizes["after warm-up"]
            print(f"growth after warm-up: {growth} KiB (page {PAGE_KIB} KiB)")
            ok = ok and growth < PAGE_KIB
    finally:
        if soak:
            soak.close()
        if pcscd:
            pcscd.stop(timeout=120 if short else 10)
        if control:
            control.close()
        if sim:
            sim.stop()
        if bus:
            bus.stop()
    if short:
        ok = report_valgrind(valgrind_log, SOURCE_ROOT + os.sep) and ok
    if ok and not short:
        shutil.rmtree(workdir, ignore_errors=True)
    else:
        print(f"logs kept in {workdir}")
    print("PASS" if ok else "FAIL")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
