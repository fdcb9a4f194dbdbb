#!/usr/bin/env python3
"""Figures through the real bluetoothd, on the VM bed (sim/vm): the driver in
the host guest's pcscd, pemra_sim --peripheral as the reader in the reader
guest, two real bluetoothd and the kernel's Bluetooth stack between them over
btvirt's emulated radio. Prints:

  1. the APDU round trip (GET CHALLENGE), and the CPU time per APDU of pcscd
     and of each bluetoothd;
  2. beside it, the bare GATT round trip on the same emulation: a write of a
     short request to characteristic 7 until the reader's notification on
     characteristic 4, through bluetoothd alone, so that the ratio of the
     two is the driver's own share;
  3. the time from a connected reader to its card present in pcscd.

    bench/real_bluez.py BUILD [--apdus N] [--connects N]
"""

import argparse
import os
import statistics
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "sim", "vm"))

import bed  # noqa: E402
import paired_bed  # noqa: E402

GET_CHALLENGE = [0x00, 0x84, 0x00, 0x00, 0x08]
WARM_UP = 20


def ms(seconds):
    return seconds * 1000


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def cpu_of(guest, pid):
    return guest.call("bench_calls", "cpu_seconds", pid)


def apdu_round_trips(paired, count):
    """(round trips in s, CPU seconds per APDU by process)."""
    host, reader = paired.host, paired.reader
    processes = {"pcscd": (host, paired.pcscd), "bluetoothd (host)": (host, host.pids["bluetoothd"]),
                 "bluetoothd (reader)": (reader, reader.pids["bluetoothd"])}
    host.call("pcsc_calls", "transmit", paired.pcsc_reader, [GET_CHALLENGE] * WARM_UP, timeout=600)
    before = {name: cpu_of(guest, pid) for name, (guest, pid) in processes.items()}
    answers = host.call("pcsc_calls", "transmit", paired.pcsc_reader, [GET_CHALLENGE] * count, timeout=3600)
    after = {name: cpu_of(guest, pid) for name, (guest, pid) in processes.items()}
    cpu = {name: (after[name] - before[name]) / count for name in processes}
    return [seconds for _, seconds in answers], cpu


def card_after_connects(paired, count):
    """Per reconnect: seconds from Connected and from ServicesResolved to
    the card present."""
    results = []
    for _ in range(count):
        paired.reader.sim_control("set_connected", False)
        paired.host.call("pcsc_calls", "wait_for_card", paired.pcsc_reader, False, 120, timeout=150)
        paired.host.call("bench_calls", "watch_device", paired.device_path)
        paired.reader.sim_control("set_connected", True)
        results.append(paired.host.call("bench_calls", "card_after_connect", paired.pcsc_reader, 120, timeout=180))
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build")
    parser.add_argument("--apdus", type=int, default=300)
    parser.add_argument("--connects", type=int, default=5)
    options = parser.parse_args()
    reason = bed.skip_reason()
    if reason:
        print(f"no real-BlueZ figures: {reason}")
        return 0
    with paired_bed.PairedBed(options.build) as paired:
        paired.start_pcscd()
        paired.host.call("pcsc_calls", "wait_for_card", paired.pcsc_reader, True, 120, timeout=150)
        round_trips, cpu = apdu_round_trips(paired, options.apdus)
        connects = card_after_connects(paired, options.connects)
        paired.stop_pcscd()
        bare = paired.host.call("bench_calls", "gatt_round_trips", options.apdus, timeout=3600)

    apdu = statistics.median(round_trips)
    gatt = statistics.median(bare)
    print(f"Through the real bluetoothd (VM bed, TCG; bed up in {paired.timings['bed']:.0f} s, "
          f"pairing by the README {paired.timings['pairing']:.1f} s)")
    print(f"1. APDU round trip, GET CHALLENGE x {options.apdus}: median {ms(apdu):.1f} ms, "
          f"p90 {ms(percentile(round_trips, 0.9)):.1f} ms, p99 {ms(percentile(round_trips, 0.99)):.1f} ms")
    for name, seconds in cpu.items():
        print(f"   CPU per APDU, {name}: {seconds * 1e6:.0f} µs")
    print(f"2. bare GATT write-to-notification round trip x {options.apdus}: median {ms(gatt):.1f} ms, "
          f"p90 {ms(percentile(bare, 0.9)):.1f} ms; APDU / bare = {apdu / gatt:.2f}")
    for name in ("Connected", "ServicesResolved"):
        values = [result[name] for result in connects if name in result]
        if values:
            print(f"3. card present after {name} over {len(values)} reconnects: median "
                  f"{ms(statistics.median(values)):.0f} ms, worst {ms(max(values)):.0f} ms")
    return 0


if __name__ == "__main__":
    sys.exit(main())
