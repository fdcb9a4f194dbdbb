"""Measurements that bench/real_bluez.py takes in the host guest, where the
clock and the processes are (host.call("bench_calls", ...))."""

import os
import threading
import time

from gi.repository import Gio, GLib
from smartcard import scard

BLUEZ = "org.bluez"
CHARACTERISTIC = "org.bluez.GattCharacteristic1"
PROPERTIES = "org.freedesktop.DBus.Properties"
UUID_TAIL = "-f0aa-4f13-a557-6b3f0e916803"
# A short request of the reader's tunnel: the length, low byte first, and a
# one-byte message; the reader answers it with one notification.
SHORT_REQUEST = [0x01, 0x00, 0x00]


def cpu_seconds(pid):
    """User and system CPU time that the process has used so far."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def _characteristic(bus, number):
    reply = bus.call_sync(BLUEZ, "/", "org.freedesktop.DBus.ObjectManager", "GetManagedObjects", None,
                          GLib.VariantType("(a{oa{sa{sv}}})"), Gio.DBusCallFlags.NONE, -1, None)
    for path, interfaces in reply.unpack()[0].items():
        properties = interfaces.get(CHARACTERISTIC)
        if properties and properties["UUID"] == f"0000000{number}{UUID_TAIL}":
            return path
    raise LookupError(f"no characteristic {number} of a Pemra reader")


def gatt_round_trips(count):
    """Seconds from each write of a short request to characteristic 7 until
    the reader's notification on characteristic 4, through bluetoothd alone
    (no driver); the first of them warms up and is left out."""
    bus = Gio.bus_get_sync(Gio.BusType.SYSTEM, None)
    request, fragments = _characteristic(bus, 7), _characteristic(bus, 4)
    context = GLib.MainContext.new()
    context.push_thread_default()
    notified = []

    def on_change(_bus, _sender, _path, _interface, _signal, parameters):
        if "Value" in parameters.unpack()[1]:
            notified.append(time.monotonic())

    subscription = bus.signal_subscribe(BLUEZ, PROPERTIES, "PropertiesChanged", fragments, CHARACTERISTIC,
                                        Gio.DBusSignalFlags.NONE, on_change)
    call = lambda path, method, arguments=None: bus.call_sync(BLUEZ, path, CHARACTERISTIC, method, arguments,
                                                              None, Gio.DBusCallFlags.NONE, 30000, None)
    try:
        call(fragments, "StartNotify")
        round_trips = []
        for _ in range(count + 1):
            notified.clear()
            started = time.monotonic()
            call(request, "WriteValue", GLib.Variant("(aya{sv})", (SHORT_REQUEST, {})))
            deadline = started + 30
            while not notified and time.monotonic() < deadline:
                context.iteration(True)
            if not notified:
                raise TimeoutError("the reader did not answer within 30 s")
            round_trips.append(notified[0] - started)
        call(fragments, "StopNotify")
        return round_trips[1:]
    finally:
        bus.signal_unsubscribe(subscription)
        context.pop_thread_default()


class _DeviceWatch:
    """Stamps the first Connected and ServicesResolved true of a device, on
    a thread of its own that runs the signals' main context."""

    def __init__(self, device):
        self.device = device
        self.seen = {}
        self.ready = threading.Event()
        self.stopping = False
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()
        self.ready.wait(10)

    def _run(self):
        context = self.context = GLib.MainContext.new()
        context.push_thread_default()
        bus = Gio.bus_get_sync(Gio.BusType.SYSTEM, None)
        subscription = bus.signal_subscribe(BLUEZ, PROPERTIES, "PropertiesChanged", self.device,
                                            "org.bluez.Device1", Gio.DBusSignalFlags.NONE, self._on_change)
        # A round trip through the bus: the match rule is in force once the
        # bus has answered a call made after it.
        bus.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetId", None,
                      None, Gio.DBusCallFlags.NONE, -1, None)
        self.ready.set()
        while not self.stopping:
            context.iteration(True)
        bus.signal_unsubscribe(subscription)
        context.pop_thread_default()

    def _on_change(self, _bus, _sender, _path, _interface, _signal, parameters):
        for name, value in parameters.unpack()[1].items():
            if name in ("Connected", "ServicesResolved") and value:
                self.seen.setdefault(name, time.monotonic())

    def stop(self):
        self.stopping = True
        wake = GLib.idle_source_new()
        wake.set_callback(lambda *_: False)
        wake.attach(self.context)
        self.thread.join(1)


_watch = None


def watch_device(device):
    """Starts stamping the device's connection; returns once it listens."""
    global _watch
    _watch = _DeviceWatch(device)


def card_after_connect(reader, timeout):
    """After watch_device(): waits for the device to connect, then for its
    card to show through pcscd. Seconds from Connected true, and from
    ServicesResolved true, to the card present."""
    global _watch
    watch, _watch = _watch, None
    rc, pcsc = scard.SCardEstablishContext(scard.SCARD_SCOPE_USER)
    try:
        deadline = time.monotonic() + timeout
        while "Connected" not in watch.seen:
            if time.monotonic() > deadline:
                raise TimeoutError(f"{watch.device} did not connect within {timeout} s")
            time.sleep(0.01)
        state = scard.SCARD_STATE_UNAWARE
        while time.monotonic() < deadline:
            rc, states = scard.SCardGetStatusChange(pcsc, 1000, [(reader, state)])
            if rc != scard.SCARD_S_SUCCESS:
                continue
            state = states[0][1] & ~scard.SCARD_STATE_CHANGED
            if state & scard.SCARD_STATE_PRESENT:
                present = time.monotonic()
                return {name: present - at for name, at in watch.seen.items()}
        raise TimeoutError(f"no card within {timeout} s of the connection")
    finally:
        scard.SCardReleaseContext(pcsc)
        watch.stop()
