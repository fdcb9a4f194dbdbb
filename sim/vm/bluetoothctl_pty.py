"""bluetoothctl typed to on a pseudo-terminal, as a person uses it. Runs in a
guest's agent (Guest.call): the dialogue stays inside the guest, and a step
that does not answer as expected fails with the whole transcript.

    pair_as_readme(address)    the README's "Pair the reader once", step by step
    start_peripheral(uuid)     a connectable, pairable, advertising LE peripheral,
                               kept up by a bluetoothctl that stays open
    stop_peripheral()
    start_listening(uuid)      another program listening to a characteristic's
                               notifications ("notify on"), until
    stop_listening()
"""

import fcntl
import os
import re
import signal
import struct
import subprocess
import termios
import threading
import time

# Colours, cursor moves and readline's prompt markers that bluetoothctl
# writes around its lines.
TERMINAL_CONTROL = re.compile(r"\x1b\[[0-9;?]*[A-Za-z]|[\x01\x02\r]")
# Any of these in a step's answer ends the step as failed.
FAILURE = r"Failed|Error|not available|Invalid|No default controller"
STEP_TIMEOUT = 60
# What bluetoothctl's agent asks when bluetoothd wants a pairing or a
# service authorised.
YES_NO_PROMPT = re.compile(r"\(yes/no\):")


class StepFailed(Exception):
    pass


class Bluetoothctl:
    """One bluetoothctl on a pty; everything it printed is the transcript.
    A thread reads the pty all the time, so that bluetoothctl never blocks
    on it and, with answer_prompts, agrees to what its agent is asked
    ("Accept pairing (yes/no):"), as the firmware of a reader does."""

    def __init__(self, answer_prompts=False):
        controller, terminal = os.openpty()
        # Wide enough that readline never wraps a line.
        fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 50, 250, 0, 0))
        self.process = subprocess.Popen(["bluetoothctl"], stdin=terminal, stdout=terminal, stderr=terminal,
                                        start_new_session=True, preexec_fn=_take_terminal)
        os.close(terminal)
        self.terminal = controller
        self.answer_prompts = answer_prompts
        self.transcript = ""
        self.seen = 0  # where the next expect starts looking
        self.ended = False
        self.changed = threading.Condition()
        self.reader = threading.Thread(target=self._read_all, daemon=True)
        self.reader.start()

    def _read_all(self):
        answered = 0
        while True:
            try:
                data = os.read(self.terminal, 65536)
            except OSError:  # EIO: bluetoothctl has ended
                data = b""
            with self.changed:
                if not data:
                    self.ended = True
                    self.changed.notify_all()
                    return
                self.transcript += TERMINAL_CONTROL.sub("", data.decode(errors="replace"))
                self.changed.notify_all()
                if self.answer_prompts and YES_NO_PROMPT.search(self.transcript, answered):
                    answered = len(self.transcript)
                    self._write("yes")

    def _write(self, line):
        self.transcript += f"\n>>> {line}\n"
        os.write(self.terminal, line.encode() + b"\n")

    def type(self, line):
        with self.changed:
            self.seen = len(self.transcript)
            self._write(line)

    def expect(self, answer, timeout=STEP_TIMEOUT, failure=FAILURE):
        """Waits until bluetoothctl prints `answer` (a regular expression)
        after what was last typed; returns the match."""
        deadline = time.monotonic() + timeout
        with self.changed:
            while True:
                text = self.transcript[self.seen:]
                found = re.search(answer, text)
                if found:
                    self.seen += found.end()
                    return found
                failed = re.search(failure, text) if failure else None
                remaining = deadline - time.monotonic()
                if failed or self.ended or remaining <= 0:
                    why = (f"'{failed.group(0)}'" if failed else "the end of bluetoothctl" if self.ended
                           else f"no answer within {timeout} s")
                    raise StepFailed(f"expected /{answer}/, got {why}\n--- transcript ---\n{self.transcript}")
                self.changed.wait(remaining)

    def step(self, line, answer, timeout=STEP_TIMEOUT):
        self.type(line)
        return self.expect(answer, timeout)

    def close(self, timeout=10):
        """quit, then SIGTERM and SIGKILL for a bluetoothctl that stays."""
        if self.process.poll() is None:
            try:
                self.type("quit")
                self.process.wait(timeout)
            except (OSError, subprocess.TimeoutExpired):
                _end(self.process, timeout)
        self.reader.join(timeout)
        os.close(self.terminal)
        return self.transcript


def _take_terminal():
    fcntl.ioctl(0, termios.TIOCSCTTY, 0)


def _end(process, timeout):
    process.send_signal(signal.SIGTERM)
    try:
        process.wait(timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def pair_as_readme(address, timeout=STEP_TIMEOUT):
    """Types the README's pairing steps, each once its answer came; returns
    the transcript."""
    ctl = Bluetoothctl()
    try:
        ctl.expect(r"Agent registered", timeout)
        ctl.step("power on", r"Changing power on succeeded", timeout)
        ctl.step("scan on", r"Discovery started", timeout)
        ctl.expect(rf"\[NEW\] Device {address}", timeout)
        ctl.step("scan off", r"Discovery stopped", timeout)
        ctl.step(f"pair {address}", r"Pairing successful", timeout)
        ctl.step(f"trust {address}", rf"Changing {address} trust succeeded", timeout)
        ctl.step(f"connect {address}", r"Connection successful", timeout)
    finally:
        transcript = ctl.close()
    return transcript


_peripheral = None


def start_peripheral(uuid, timeout=STEP_TIMEOUT):
    """Makes this guest's adapter a connectable, pairable LE peripheral that
    advertises `uuid`, answering pairing without input (Just Works); it stays
    so until stop_peripheral(). Returns the transcript so far."""
    global _peripheral
    if _peripheral is not None:
        raise RuntimeError("a peripheral is already running")
    ctl = Bluetoothctl(answer_prompts=True)
    try:
        ctl.expect(r"Agent registered", timeout)
        ctl.step("agent off", r"Agent unregistered", timeout)
        ctl.step("agent NoInputNoOutput", r"Agent registered", timeout)
        ctl.step("default-agent", r"Default agent request successful", timeout)
        ctl.step("power on", r"Changing power on succeeded", timeout)
        ctl.step("pairable on", r"Changing pairable on succeeded", timeout)
        ctl.step("discoverable on", r"Changing discoverable on succeeded", timeout)
        ctl.type(f"advertise.uuids {uuid}")  # no answer: it only sets what "advertise on" sends
        ctl.step("advertise on", r"Advertising object registered", timeout)
    except BaseException:
        ctl.close()
        raise
    _peripheral = ctl
    return ctl.transcript


def stop_peripheral():
    """Ends the peripheral's bluetoothctl; returns its whole transcript."""
    global _peripheral
    ctl, _peripheral = _peripheral, None
    return ctl.close() if ctl else ""


_listener = None


def start_listening(uuid, timeout=STEP_TIMEOUT):
    """Another program on this machine subscribed to the notifications of
    the characteristic `uuid` of the connected device, as a person does it
    with bluetoothctl: `menu gatt`, `select-attribute`, `notify on`. It
    listens until stop_listening(). Returns the transcript so far."""
    global _listener
    if _listener is not None:
        raise RuntimeError("a listener is already running")
    ctl = Bluetoothctl()
    try:
        ctl.expect(r"Agent registered", timeout)
        ctl.step("menu gatt", r"list-attributes", timeout)
        ctl.step(f"select-attribute {uuid}", r"\[.*char[0-9a-f]{4}\]", timeout)
        ctl.step("notify on", r"Notify started", timeout)
    except BaseException:
        ctl.close()
        raise
    _listener = ctl
    return ctl.transcript


def stop_listening():
    """The listening bluetoothctl quits, which ends its sessions; returns
    its whole transcript."""
    global _listener
    ctl, _listener = _listener, None
    return ctl.close() if ctl else ""
