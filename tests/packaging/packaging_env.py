"""What CTest hands the packaging tests, and small shared readers."""

import os
import subprocess


def env(name):
    """A setting from tests/packaging/CMakeLists.txt; fails clearly without it."""
    value = os.environ.get(name)
    if not value:
        raise RuntimeError(f"{name} is not set: run these tests through ctest")
    return value


def reader_file_fields(path):
    """The keyword lines of a pcscd reader file, comments skipped:
    {"FRIENDLYNAME": '"Pemra BLE Reader"', "DEVICENAME": ..., "LIBPATH": ...}."""
    fields = {}
    with open(path) as conf:
        for line in conf:
            line = line.split("#", 1)[0].strip()
            if line:
                key, _, value = line.partition(" ")
                fields[key] = value.strip()
    return fields


def run(command, **kwargs):
    """Runs a command, output and errors together as text."""
    return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                          **kwargs)
