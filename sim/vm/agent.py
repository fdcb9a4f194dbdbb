"""The guest's end of the VM test bed's control channel, started by the
guest's init (sim/vm/init) with Debian's python3 from the shared /usr.

It reads one JSON request per line from the virtio-serial port named
"bed.agent" and writes one JSON answer per line, one request at a time:
    {"op": "run", ...}   ->   {"ok": true, "result": ...}
                              {"ok": false, "error": "...", "type": "..."}
Every request carries a number ("id") that its answer repeats, and a time
limit ("timeout", seconds): a request that outlives it is answered with an
error and the agent goes on with the next one (a function call that hangs
keeps its thread; the process goes on).

Operations (see sim/vm/bed.py, Guest, for the harness's side):
  ping                                      -> the guest's role
  run       command, timeout, env, cwd      -> status, stdout, stderr, timed_out
  spawn     command, log, env, cwd          -> pid (output to /bed/logs/<log>)
  kill      pid, signal, timeout, group     -> exit status (None if not our child)
  wait_for  command, timeout, interval      -> seconds it took; error at timeout
  call      module, function, args, kwargs  -> what the function returned
  read_file path                            -> base64 of the content
  write_file path, data (base64), mode
A command is a shell line (str) or an argument list.
"""

import base64
import glob
import importlib
import json
import os
import signal
import subprocess
import sys
import threading
import time
import traceback

PORT_NAME = "bed.agent"
WORK_DIR = "/bed"
LOG_DIR = os.path.join(WORK_DIR, "logs")
DEFAULT_TIMEOUT = 60
# What an operation that keeps its own time limit (it ends what it started)
# gets beyond it before the agent stops waiting for it.
GRACE = 10
SELF_BOUNDED = {"run", "kill", "wait_for"}

# Modules the harness calls functions of live beside this file.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))


class RequestError(Exception):
    pass


def _port_path():
    for name_file in glob.glob("/sys/class/virtio-ports/*/name"):
        with open(name_file) as name:
            if name.read().strip() == PORT_NAME:
                return "/dev/" + os.path.basename(os.path.dirname(name_file))
    raise RuntimeError(f"no virtio-serial port named {PORT_NAME}")


class Channel:
    """JSON lines over the virtio-serial port. While the harness is not
    connected the port reads as end of file: the agent waits for it."""

    def __init__(self, path):
        self.fd = os.open(path, os.O_RDWR)
        self.pending = b""

    def read_request(self):
        while b"\n" not in self.pending:
            chunk = os.read(self.fd, 65536)
            if not chunk:
                time.sleep(0.2)
                continue
            self.pending += chunk
        line, self.pending = self.pending.split(b"\n", 1)
        return json.loads(line)

    def write_answer(self, answer):
        data = json.dumps(answer).encode() + b"\n"
        try:
            while data:
                data = data[os.write(self.fd, data):]
        except OSError as error:
            print(f"agent: answer lost: {error}", file=sys.stderr)


def _environment(extra):
    env = dict(os.environ)
    env.update(extra or {})
    return env


def _popen(request, **kwargs):
    command = request["command"]
    return subprocess.Popen(command, shell=isinstance(command, str), env=_environment(request.get("env")),
                            cwd=request.get("cwd"), start_new_session=True, **kwargs)


def _text(data):
    return data.decode(errors="replace") if data else ""


def _run_once(request, timeout):
    process = _popen(request, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        stdout, stderr = process.communicate(timeout=timeout)
        timed_out = False
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        stdout, stderr = process.communicate(timeout=GRACE)
        timed_out = True
    return {"status": process.returncode, "stdout": _text(stdout), "stderr": _text(stderr), "timed_out": timed_out}


class Agent:
    def __init__(self, role):
        self.role = role
        self.children = {}  # pid -> Popen of what spawn started

    def op_ping(self, request):
        return self.role

    def op_run(self, request):
        return _run_once(request, request.get("timeout", DEFAULT_TIMEOUT))

    def op_spawn(self, request):
        os.makedirs(LOG_DIR, exist_ok=True)
        with open(os.path.join(LOG_DIR, request["log"]), "ab") as log:
            process = _popen(request, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
        self.children[process.pid] = process
        return process.pid

    def op_kill(self, request):
        pid, timeout = request["pid"], request.get("timeout", DEFAULT_TIMEOUT)
        signal_number = request.get("signal", signal.SIGTERM)
        try:
            (os.killpg if request.get("group") else os.kill)(pid, signal_number)
        except ProcessLookupError:
            pass
        child = self.children.pop(pid, None)
        if child is not None:
            try:
                return child.wait(timeout)
            except subprocess.TimeoutExpired:
                self.children[pid] = child
                raise RequestError(f"process {pid} did not end within {timeout} s")
        _wait_until_gone(pid, timeout)
        return None

    def op_wait_for(self, request):
        timeout = request.get("timeout", DEFAULT_TIMEOUT)
        interval = request.get("interval", 0.1)
        started = time.monotonic()
        deadline = started + timeout
        while True:
            last = _run_once(request, max(1.0, deadline - time.monotonic()))
            if last["status"] == 0:
                return {"seconds": time.monotonic() - started, "stdout": last["stdout"]}
            if time.monotonic() + interval > deadline:
                raise RequestError(f"not true after {timeout} s: {request['command']}\n"
                                   f"last status {last['status']}\n"
                                   f"stdout:\n{last['stdout']}\nstderr:\n{last['stderr']}")
            time.sleep(interval)

    def op_call(self, request):
        module = importlib.import_module(request["module"])
        result = getattr(module, request["function"])(*request.get("args", []), **request.get("kwargs", {}))
        json.dumps(result)  # an error here rather than when answering
        return result

    def op_read_file(self, request):
        with open(request["path"], "rb") as source:
            return base64.b64encode(source.read()).decode()

    def op_write_file(self, request):
        with open(request["path"], "wb") as target:
            target.write(base64.b64decode(request["data"]))
        if "mode" in request:
            os.chmod(request["path"], request["mode"])
        return None

    def answer(self, request):
        """Carries out one request in a thread of its own, so that one that
        hangs cannot hold the agent past its time limit."""
        operation = getattr(self, "op_" + str(request.get("op")), None)
        if operation is None:
            return {"ok": False, "type": "RequestError", "error": f"unknown operation {request.get('op')!r}"}
        outcome = {}

        def carry_out():
            try:
                outcome.update(ok=True, result=operation(request))
            except Exception as error:  # every failure goes back to the harness
                outcome.update(ok=False, type=type(error).__name__, error=str(error),
                               traceback=traceback.format_exc())

        worker = threading.Thread(target=carry_out, daemon=True)
        worker.start()
        limit = request.get("timeout", DEFAULT_TIMEOUT) + (GRACE if request.get("op") in SELF_BOUNDED else 0)
        worker.join(limit)
        if worker.is_alive():
            return {"ok": False, "type": "TimeoutError",
                    "error": f"{request.get('op')} still running after {limit} s"}
        return outcome

    def serve(self, channel):
        while True:
            request = channel.read_request()
            channel.write_answer(dict(self.answer(request), id=request.get("id")))


def _wait_until_gone(pid, timeout):
    """Until the process has ended: no longer there, or a zombie that its
    parent has not reaped yet."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with open(f"/proc/{pid}/stat") as stat:
                if stat.read().rsplit(")", 1)[1].split()[0] == "Z":
                    return
        except FileNotFoundError:
            return
        time.sleep(0.05)
    raise RequestError(f"process {pid} did not end within {timeout} s")


def main():
    role = os.environ.get("BED_ROLE", "guest")
    Agent(role).serve(Channel(_port_path()))


if __name__ == "__main__":
    main()
