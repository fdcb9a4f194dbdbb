"""Runs a command with the BlueZ stand-in on a private bus as its system bus.

    run_with_sim.py PEMRA_SIM [SIM OPTION...] -- COMMAND [ARG...]
    run_with_sim.py PEMRA_SIM [SIM OPTION...]

Starts a private dbus-daemon and pemra_sim on it, runs COMMAND with
DBUS_SYSTEM_BUS_ADDRESS pointing at that bus, stops both (by their process
ids) and exits with COMMAND's status. Without a command it prints the bus
address and serves until interrupted.
"""

import os
import shutil
import signal
import subprocess
import sys

import stack


def split(arguments):
    if "--" in arguments:
        cut = arguments.index("--")
        return arguments[:cut], arguments[cut + 1:]
    return arguments, []


def main(arguments):
    if not arguments or arguments[0] in ("-h", "--help"):
        print(__doc__)
        return 2
    (binary, *sim_options), command = split(arguments)
    workdir = stack.make_workdir("pemra-sim-")
    bus = stack.PrivateBus(workdir).start()
    sim = None
    try:
        sim = stack.PemraSim(binary, bus, workdir, sim_options).start()
        if not command:
            print(f"DBUS_SYSTEM_BUS_ADDRESS={bus.address}", flush=True)
            # Blocked only now: the children must keep receiving them.
            signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM})
            signal.sigwait({signal.SIGINT, signal.SIGTERM})
            return 0
        return subprocess.run(command, env={**os.environ, **bus.environ()}).returncode
    finally:
        if sim:
            sim.stop()
        bus.stop()
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
