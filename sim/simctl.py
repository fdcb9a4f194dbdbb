"""Drives a running pemra_sim through its control interface
(com.tarvenk.PemraSim1 at /sim), with python3-dbus. See pemra_sim --help.
The stand-in serves it as org.bluez; pemra_sim --peripheral as
com.tarvenk.PemraSim (PERIPHERAL), on the bus of the reader's bluetoothd,
where it takes any device path and offers no scenario methods."""

import dbus

BLUEZ = "org.bluez"
PERIPHERAL = "com.tarvenk.PemraSim"
CONTROL_PATH = "/sim"
CONTROL_INTERFACE = "com.tarvenk.PemraSim1"
DEFAULT_ADAPTER = "/org/bluez/hci0"
DEFAULT_READER = "/org/bluez/hci0/dev_E1_A5_00_00_00_01"


def _python(value):
    """dbus-python values as plain Python values."""
    if isinstance(value, dbus.Array) and value.signature == "y":
        return bytes(value)
    if isinstance(value, (dbus.Array, list)):
        return [_python(v) for v in value]
    if isinstance(value, (dbus.Struct, tuple)):
        return tuple(_python(v) for v in value)
    if isinstance(value, dbus.Dictionary):
        return {_python(k): _python(v) for k, v in value.items()}
    if isinstance(value, dbus.Boolean):
        return bool(value)
    if isinstance(value, (dbus.String, dbus.ObjectPath)):
        return str(value)
    if isinstance(value, (dbus.Byte, dbus.Int16, dbus.Int32, dbus.Int64, dbus.UInt16, dbus.UInt32,
                          dbus.UInt64)):
        return int(value)
    return value


class LogEntry(tuple):
    """(event, source, detail, data) of the stand-in's log."""

    event = property(lambda self: self[0])
    source = property(lambda self: self[1])
    detail = property(lambda self: self[2])
    data = property(lambda self: self[3])


class SimControl:
    def __init__(self, address, name=BLUEZ):
        self.connection = dbus.bus.BusConnection(address)
        self.control = dbus.Interface(self.connection.get_object(name, CONTROL_PATH), CONTROL_INTERFACE)

    def close(self):
        self.connection.close()

    # Scenario
    def add_adapter(self):
        return str(self.control.AddAdapter())

    def remove_adapter(self, adapter):
        self.control.RemoveAdapter(dbus.ObjectPath(adapter))

    def add_reader(self, adapter=DEFAULT_ADAPTER, **options):
        """Options as in --help, with '_' for '-': address, name, connected,
        paired, services_resolved, card, notify_size, message_size,
        omit_characteristics, uppercase_characteristics, foreign_service."""
        return str(self.control.AddReader(dbus.ObjectPath(adapter), self._reader_options(options)))

    @staticmethod
    def _reader_options(options):
        typed = {}
        for key, value in options.items():
            name = key.replace("_", "-")
            if isinstance(value, bool):
                typed[name] = dbus.Boolean(value)
            elif isinstance(value, int):
                typed[name] = dbus.UInt32(value)
            elif isinstance(value, (list, tuple, set, bytes)):
                typed[name] = dbus.ByteArray(bytes(sorted(value)))
            else:
                typed[name] = dbus.String(value)
        return dbus.Dictionary(typed, signature="sv")

    def remove_reader(self, device=DEFAULT_READER):
        self.control.RemoveReader(dbus.ObjectPath(device))

    def readers(self):
        return _python(self.control.ListReaders())

    def set_connected(self, connected, device=DEFAULT_READER):
        self.control.SetConnected(dbus.ObjectPath(device), dbus.Boolean(connected))

    def set_paired(self, paired, device=DEFAULT_READER):
        self.control.SetPaired(dbus.ObjectPath(device), dbus.Boolean(paired))

    def set_services_resolved(self, resolved, device=DEFAULT_READER):
        self.control.SetServicesResolved(dbus.ObjectPath(device), dbus.Boolean(resolved))

    def insert_card(self, device=DEFAULT_READER):
        self.control.InsertCard(dbus.ObjectPath(device))

    def remove_card(self, device=DEFAULT_READER):
        self.control.RemoveCard(dbus.ObjectPath(device))

    def set_card_status(self, status, device=DEFAULT_READER):
        self.control.SetCardStatus(dbus.ObjectPath(device), dbus.Byte(status))

    def set_notify_size(self, size, device=DEFAULT_READER):
        self.control.SetNotifySize(dbus.ObjectPath(device), dbus.UInt32(size))

    def set_properties(self, path, interface, values):
        """Any values, as dbus-python typed values (dbus.String(...) for a
        Connected of the wrong type), announced in one PropertiesChanged."""
        self.control.SetProperties(dbus.ObjectPath(path), interface, dbus.Dictionary(values, signature="sv"))

    # Faults
    def set_fault(self, name, value=1, device=DEFAULT_READER):
        """On a reader's device, or on "/" for BlueZ's own faults."""
        self.control.SetFault(dbus.ObjectPath(device), name, dbus.Int32(value))

    def clear_faults(self, device=DEFAULT_READER):
        self.control.ClearFaults(dbus.ObjectPath(device))

    def forget_keys(self, device=DEFAULT_READER):
        self.control.ForgetKeys(dbus.ObjectPath(device))

    # What the driver did
    def log(self, event=None, source=None):
        entries = [LogEntry(_python(e)) for e in self.control.GetLog()]
        return [e for e in entries
                if (event is None or e.event == event) and (source is None or e.source == source)]

    def clear_log(self):
        self.control.ClearLog()

    def counters(self):
        return _python(self.control.GetCounters())

    def applications(self):
        return _python(self.control.GetApplications())
