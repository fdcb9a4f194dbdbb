"""An independent host for the stand-in's readers, written from the reader
contract with python3-dbus and python3-cryptography: the GATT framings and
the link keys, as the driver is meant to use them."""

import os
import time

import dbus
import dbus.mainloop.glib
from cryptography.hazmat.primitives.asymmetric.x25519 import X25519PrivateKey, X25519PublicKey
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
from cryptography.hazmat.primitives.ciphers.aead import AESCCM
from cryptography.hazmat.primitives.serialization import Encoding, PublicFormat
from gi.repository import GLib

PEMRA_SERVICE = "723e2ee5-f0aa-4f13-a557-6b3f0e916803"
CHARACTERISTIC = "org.bluez.GattCharacteristic1"
PROPERTIES = "org.freedesktop.DBus.Properties"

dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)


def run_until(predicate, timeout):
    """Serves the main loop (signals, replies) until predicate() or timeout;
    returns predicate()."""
    context = GLib.MainContext.default()
    deadline = time.monotonic() + timeout
    while not predicate() and time.monotonic() < deadline:
        if not context.iteration(False):
            time.sleep(0.001)
    return predicate()


def managed_objects(bus):
    manager = dbus.Interface(bus.get_object("org.bluez", "/"), "org.freedesktop.DBus.ObjectManager")
    return manager.GetManagedObjects()


class Gatt:
    """The reader's characteristics, their notifications and the framings."""

    def __init__(self, address, device):
        self.bus = dbus.bus.BusConnection(address)
        self.device = device
        self.chars = self._characteristics()
        self.notifications = {4: [], 8: []}
        self.changes = []  # (path, interface, changed properties) of every PropertiesChanged
        self.chunk_size = 20
        self.bus.add_signal_receiver(self._changed, "PropertiesChanged", PROPERTIES, "org.bluez",
                                     path_keyword="path")

    def close(self):
        self.bus.close()

    def _characteristics(self):
        objects = managed_objects(self.bus)
        services = [p for p, i in objects.items()
                    if i.get("org.bluez.GattService1", {}).get("UUID") == PEMRA_SERVICE
                    and i["org.bluez.GattService1"]["Device"] == self.device]
        chars = {}
        for path, interfaces in objects.items():
            props = interfaces.get(CHARACTERISTIC)
            if props and props["Service"] in services:
                chars[int(str(props["UUID"])[7], 16)] = path
        return chars

    def _changed(self, interface, changed, invalidated, path):
        self.changes.append((str(path), str(interface), dict(changed)))
        for number in (4, 8):
            if path == self.chars.get(number) and "Value" in changed:
                self.notifications[number].append(bytes(changed["Value"]))

    def characteristic(self, number):
        return dbus.Interface(self.bus.get_object("org.bluez", self.chars[number]), CHARACTERISTIC)

    def write(self, number, value):
        self.characteristic(number).WriteValue(dbus.Array(value, signature="y"),
                                               dbus.Dictionary({}, signature="sv"))

    def read(self, number):
        return bytes(self.characteristic(number).ReadValue(dbus.Dictionary({}, signature="sv")))

    def start_notify(self, *numbers):
        for number in numbers:
            self.characteristic(number).StartNotify()

    def settle(self, seconds=0.1):
        run_until(lambda: False, seconds)

    # Raw framings, for tests that look at the bytes
    def send_short(self, message):
        self.notifications[4].clear()
        self.write(7, len(message).to_bytes(2, "little") + message)

    def send_long(self, message):
        self.notifications[4].clear()
        self.write(1, len(message).to_bytes(2, "little"))
        for offset in range(0, len(message), self.chunk_size):
            self.write(2, message[offset:offset + self.chunk_size])
        return self.read(3)

    def wait_fragments(self, count, timeout=5):
        return run_until(lambda: len(self.notifications[4]) >= count, timeout)

    def transfer(self, message, timeout=5):
        """One request and its reassembled reply."""
        if len(message) < self.chunk_size - 1:
            self.send_short(message)
            if not self.wait_fragments(1, timeout):
                raise TimeoutError("no reply header")
            data = self.notifications[4][0][1:]
            total, size = data[0] | data[1] << 8, data[3]
            self._collect(total, size, timeout)
            return self._reassemble(total, size)[4:]
        header = self.send_long(message)
        total, size = header[0] | header[1] << 8, header[3]
        self._collect(total, size, timeout)
        return self._reassemble(total, size)

    def _collect(self, total, size, timeout):
        expected = -(-total // size)
        if not self.wait_fragments(expected, timeout):
            raise TimeoutError(f"{len(self.notifications[4])} of {expected} fragments")
        self.chunk_size = max(self.chunk_size, *(len(n) for n in self.notifications[4]))

    def _reassemble(self, total, size):
        return b"".join(n[1:] for n in self.notifications[4])[:total]


def key_exchange_request(private=None):
    """03 | base point 9 | the host's public key."""
    private = private or X25519PrivateKey.generate()
    public = private.public_key().public_bytes(Encoding.Raw, PublicFormat.Raw)
    return b"\x03" + b"\x09" + bytes(31) + public


def aes_block(key, block):
    encryptor = Cipher(algorithms.AES(key), modes.ECB()).encryptor()
    return encryptor.update(block) + encryptor.finalize()


class Link:
    """The host's side of the link keys."""

    def __init__(self, gatt, ltk=None):
        self.gatt = gatt
        self.ltk = ltk
        self.session_key = None
        self.counter = 0
        self.host_part = self.reader_part = b""

    def key_exchange(self):
        private = X25519PrivateKey.generate()
        reply = self.gatt.transfer(key_exchange_request(private))
        if len(reply) != 33 or reply[0] != 0:
            raise AssertionError(f"key exchange refused: {reply.hex()}")
        self.ltk = private.exchange(X25519PublicKey.from_public_bytes(reply[1:]))
        return reply

    def start_session(self):
        """Returns the reader's reply; derives the keys when it is 21 bytes."""
        random, self.host_part = os.urandom(16), os.urandom(4)
        reply = self.gatt.transfer(b"\xa0" + random + self.host_part + b"\x01")
        if len(reply) == 21:
            self.reader_part = reply[17:21]
            self.session_key = aes_block(self.ltk, random) + aes_block(self.ltk, reply[1:17])
            self.counter = 0
        return reply

    def nonce(self):
        return b"\x00" + self.counter.to_bytes(4, "big") + self.host_part + self.reader_part

    def seal(self, plaintext):
        frame = b"\xff" + AESCCM(self.session_key, tag_length=4).encrypt(self.nonce(), plaintext, None)
        self.counter += 1
        return frame

    def open(self, reply):
        """Raises cryptography's InvalidTag when the tag is wrong."""
        try:
            return AESCCM(self.session_key, tag_length=4).decrypt(self.nonce(), reply, None)
        finally:
            self.counter += 1

    def exchange(self, plaintext):
        return self.open(self.gatt.transfer(self.seal(plaintext)))

    def connect(self, power_card=True):
        """Key exchange when needed, the session key, and a card reset."""
        if self.ltk is None:
            self.key_exchange()
        reply = self.start_session()
        if len(reply) != 21:
            self.key_exchange()
            reply = self.start_session()
        assert len(reply) == 21, reply.hex()
        if power_card:
            self.exchange(b"\x02\x01")
        return self

    def apdu(self, command):
        reply = self.exchange(b"\x02\x05" + command)
        assert reply[0] == 0, reply.hex()
        return reply[1:]
