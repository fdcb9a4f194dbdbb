"""Stands in for the driver on a bus: exports org.bluez.GattProfile1 (with
Release and a second method) at the driver's profile path and at another
path, prints its unique bus name on one line, and serves calls until
SIGTERM.

    profile_object.py BUS_ADDRESS
"""

import signal
import sys

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

INTERFACE_XML = """
<node>
  <interface name="org.bluez.GattProfile1">
    <method name="Release"/>
    <method name="Other"/>
  </interface>
</node>
"""
PATHS = ("/com/tarvenk/pemraprofile", "/com/tarvenk/elsewhere")


def main(address):
    flags = (Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
             | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION)
    connection = Gio.DBusConnection.new_for_address_sync(address, flags, None, None)
    interface = Gio.DBusNodeInfo.new_for_xml(INTERFACE_XML).interfaces[0]

    def on_call(_conn, _sender, _path, _interface, _method, _params, invocation):
        invocation.return_value(None)

    for path in PATHS:
        connection.register_object(path, interface, on_call, None, None)
    loop = GLib.MainLoop()
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, loop.quit)
    print(connection.get_unique_name(), flush=True)
    loop.run()
    connection.close_sync(None)


if __name__ == "__main__":
    main(sys.argv[1])
