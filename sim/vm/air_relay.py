"""Runs in the air guest: gives each end guest one LE controller of btvirt.

For every end named on the command line it opens the virtio-serial port
"bed.radio.<end>" (whose other side is that guest's /dev/hvc0, where btattach
speaks H4), connects to btvirt's server socket, which makes one emulated LE
controller per connection, and passes the bytes both ways until either side
ends.

    python3 air_relay.py reader host
"""

import glob
import os
import selectors
import socket
import sys

BTVIRT_LE_SOCKET = "/tmp/bt-server-le"


def port_path(name):
    for name_file in glob.glob("/sys/class/virtio-ports/*/name"):
        with open(name_file) as port_name:
            if port_name.read().strip() == name:
                return "/dev/" + os.path.basename(os.path.dirname(name_file))
    raise RuntimeError(f"no virtio-serial port named {name}")


def write_all(fd, data):
    while data:
        data = data[os.write(fd, data):]


class Link:
    """One end guest's port and its controller's socket."""

    def __init__(self, end):
        self.end = end
        self.port = os.open(port_path(f"bed.radio.{end}"), os.O_RDWR)
        self.controller = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.controller.connect(BTVIRT_LE_SOCKET)
        self.open = True

    def from_port(self):
        data = os.read(self.port, 65536)
        if data:
            self.controller.sendall(data)
        return bool(data)

    def from_controller(self):
        data = self.controller.recv(65536)
        if data:
            write_all(self.port, data)
        return bool(data)

    def close(self):
        self.open = False
        os.close(self.port)
        self.controller.close()


def relay(ends):
    selector = selectors.DefaultSelector()
    for end in ends:
        link = Link(end)
        selector.register(link.port, selectors.EVENT_READ, (link, link.from_port))
        selector.register(link.controller, selectors.EVENT_READ, (link, link.from_controller))
        print(f"relaying {end}", flush=True)
    links = len(ends)
    while links:
        for key, _ in selector.select():
            link, carry = key.data
            if link.open and not carry():
                print(f"link of {link.end} ended", flush=True)
                selector.unregister(link.port)
                selector.unregister(link.controller)
                link.close()
                links -= 1


if __name__ == "__main__":
    relay(sys.argv[1:])
