"""pemra_sim --peripheral's control interface in the reader guest, for the
harness (EndGuest.sim_control): SimControl (sim/simctl.py) on the guest's
system bus under the peripheral's name. Runs in the guest's agent; results
go back as JSON, bytes as hexadecimal text."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import simctl  # noqa: E402

SYSTEM_BUS = "unix:path=/run/dbus/system_bus_socket"


def _json(value):
    if isinstance(value, bytes):
        return value.hex()
    if isinstance(value, (list, tuple)):
        return [_json(v) for v in value]
    if isinstance(value, dict):
        return {k: _json(v) for k, v in value.items()}
    return value


def control(method, *args, **kwargs):
    """SimControl's `method` with these arguments, and its result."""
    sim = simctl.SimControl(SYSTEM_BUS, simctl.PERIPHERAL)
    try:
        return _json(getattr(sim, method)(*args, **kwargs))
    finally:
        sim.close()
