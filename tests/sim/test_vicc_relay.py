"""The relay to a vicc-style virtual card: a stand-in vicc, written from the
vpcd protocol, connects to pemra_sim's --vicc-port and becomes the card."""

import socket
import threading

import pemra_host
import simctl
from sim_fixture import SimTestCase

ATR = bytes.fromhex("3B8080018080")


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class FakeVicc(threading.Thread):
    """Answers get ATR with ATR and an APDU with its bytes reversed + 90 00;
    records the one-byte commands."""

    def __init__(self, port):
        super().__init__(daemon=True)
        self.socket = socket.create_connection(("127.0.0.1", port))
        self.commands = []

    def receive(self, size):
        data = b""
        while len(data) < size:
            chunk = self.socket.recv(size - len(data))
            if not chunk:
                raise EOFError
            data += chunk
        return data

    def run(self):
        try:
            while True:
                message = self.receive(int.from_bytes(self.receive(2), "big"))
                if len(message) == 1:
                    self.commands.append(message[0])
                    if message[0] == 0x04:
                        self.answer(ATR)
                else:
                    self.answer(message[::-1] + b"\x90\x00")
        except (EOFError, OSError):
            pass

    def answer(self, data):
        self.socket.sendall(len(data).to_bytes(2, "big") + data)

    def close(self):
        self.socket.shutdown(socket.SHUT_RDWR)
        self.socket.close()
        self.join(5)


class ViccRelay(SimTestCase):
    port = free_port()
    sim_args = ("--vicc-port", str(port))

    def test_the_reader_has_no_card_until_vicc_connects_and_then_relays_to_it(self):
        gatt = self.host(simctl.DEFAULT_READER)
        link = pemra_host.Link(gatt).connect(power_card=False)
        self.assertEqual(link.exchange(b"\x02\x01"), b"\x01")
        vicc = FakeVicc(self.port)
        vicc.start()
        self.assertTrue(pemra_host.run_until(lambda: gatt.notifications[8][-1:] == [b"\x01\x06"], 5))
        self.assertEqual(link.exchange(b"\x02\x01"), b"\x00" + ATR)
        self.assertEqual(link.apdu(bytes.fromhex("00A4040C")), bytes.fromhex("0C04A400") + b"\x90\x00")
        self.assertEqual(link.exchange(b"\x02\x04"), b"\x00")
        # The reader answers the shutdown before vicc's thread has read it.
        self.assertTrue(pemra_host.run_until(lambda: vicc.commands == [0x01, 0x02, 0x04, 0x00], 5),
                        vicc.commands)
        vicc.close()
        self.assertTrue(pemra_host.run_until(lambda: gatt.notifications[8][-1:] == [b"\x01\x02"], 5))
        self.assertEqual(link.exchange(b"\x02\x01"), b"\x01")
