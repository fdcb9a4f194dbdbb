"""BlueZ properties of unexpected types, in GetManagedObjects and in
PropertiesChanged: the driver treats them as absent, never crashes, and
takes the reader once the right types come back."""

import time

import dbus
from smartcard import scard

import simctl
from driver_stack import DriverStackTestCase, wait_until

DEVICE = "org.bluez.Device1"
SERVICE = "org.bluez.GattService1"
CHARACTERISTIC = "org.bluez.GattCharacteristic1"
PEMRA_UUID = "723e2ee5-f0aa-4f13-a557-6b3f0e916803"
VENDOR_ATTR_IEEE = 0x7B020
RESCAN = "something interesting in bt happened, rescanning"

SKIPPED, TAKEN = "skipped", "taken"
# (object: the device, the service or characteristic N; interface; property;
#  a value of another type; what the driver does with the reader meanwhile)
ROWS = [
    ("device", DEVICE, "Connected", dbus.String("true"), SKIPPED),
    ("device", DEVICE, "ServicesResolved", dbus.Int32(1), SKIPPED),
    ("device", DEVICE, "Paired", dbus.Byte(1), SKIPPED),
    # The address names the key file and the vendor attribute: without it
    # the reader is served, but neither exists.
    ("device", DEVICE, "Address", dbus.Int32(1), TAKEN),
    ("service", SERVICE, "UUID", dbus.Array([PEMRA_UUID], signature="s"), SKIPPED),
    ("service", SERVICE, "Device", dbus.String(simctl.DEFAULT_READER), SKIPPED),
    (7, CHARACTERISTIC, "UUID", dbus.Int32(7), SKIPPED),
    # Flags are not the driver's business.
    (4, CHARACTERISTIC, "Flags", dbus.String("notify"), TAKEN),
]


class UnexpectedPropertyTypes(DriverStackTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        root = cls.control.connection.get_object(simctl.BLUEZ, "/")
        cls.objects = root.GetManagedObjects(dbus_interface="org.freedesktop.DBus.ObjectManager")

    def path_of(self, name):
        if name == "device":
            return simctl.DEFAULT_READER
        for path, interfaces in self.objects.items():
            if name == "service" and interfaces.get(SERVICE, {}).get("UUID") == PEMRA_UUID:
                return str(path)
            if str(interfaces.get(CHARACTERISTIC, {}).get("UUID", "")).startswith(f"0000000{name}"):
                return str(path)
        raise LookupError(name)

    def address_attribute(self):
        rc, value = self.on_direct_connection(lambda card: scard.SCardGetAttrib(card, VENDOR_ATTR_IEEE))
        return bytes(value) if rc == 0 else None

    def rescan_with_readiness_true(self, except_for=None):
        """Paired and ServicesResolved announced true: a rescan."""
        rescans = self.count_in_driver_log(RESCAN)
        flags = {name: dbus.Boolean(True) for name in ("Paired", "ServicesResolved") if name != except_for}
        self.control.set_properties(simctl.DEFAULT_READER, DEVICE, flags)
        wait_until(lambda: self.count_in_driver_log(RESCAN) > rescans, what="the rescan")

    def leave_slot_connected_but_unpaired(self):
        self.control.set_connected(False)
        wait_until(lambda: not self.card_present(), what="the card to go")
        self.control.set_paired(False)
        self.control.set_connected(True)
        wait_until(lambda: "device not paired" in self.driver_log().rsplit("pemra 0 disconnected", 1)[-1],
                   what="the unpaired reader skipped")

    def check_row(self, name, interface, prop, value, effect):
        path = self.path_of(name)
        good = self.objects[dbus.ObjectPath(path)][interface][prop]
        self.leave_slot_connected_but_unpaired()
        self.control.clear_log()
        self.control.set_properties(path, interface, {prop: value})
        self.rescan_with_readiness_true(except_for=prop if interface == DEVICE else None)
        if effect == SKIPPED:
            time.sleep(1)
            self.assertEqual(self.control.log(event="start-notify"), [])
            self.assertFalse(self.card_present())
        else:
            wait_until(self.card_present, what="the reader taken")
        if prop == "Address":
            self.assertIsNone(self.address_attribute())
        self.control.set_properties(path, interface, {prop: good})
        self.rescan_with_readiness_true()
        wait_until(self.card_present, what="the reader taken with the right types")
        self.assertTrue(self.pcscd.alive())

    def test_each_property_of_another_type_counts_as_absent(self):
        wait_until(self.card_present, what="the card")
        for row in ROWS:
            with self.subTest(row=row[:3]):
                self.check_row(*row)
        self.leave_slot_connected_but_unpaired()
        self.rescan_with_readiness_true()
        wait_until(self.card_present, what="the card")
        self.assertEqual(self.address_attribute(), b"E1:A5:00:00:00:01\0")

    def test_changes_of_another_type_leave_a_serving_reader_alone(self):
        wait_until(self.card_present, what="the card")
        status = self.path_of(8)
        # (object, interface, property, a value of another type, the right one)
        changes = [(simctl.DEFAULT_READER, DEVICE, "Connected", dbus.String("false"), dbus.Boolean(True)),
                   (status, CHARACTERISTIC, "Value", dbus.String("01 02"), dbus.ByteArray(b"\x01\x06")),
                   (status, CHARACTERISTIC, "Notifying", dbus.String("no"), dbus.Boolean(True))]
        for path, interface, prop, value, _ in changes:
            self.control.set_properties(path, interface, {prop: value})
        time.sleep(0.5)
        self.assertTrue(self.card_present())
        self.assertEqual(self.count_in_driver_log("pemra 0 disconnected"), 0)
        # The stand-in's reader itself takes a Connected of another type for
        # false and stops answering: put the right values back at once.
        for path, interface, prop, _, good in changes:
            self.control.set_properties(path, interface, {prop: good})
        self.assertEqual(self.address_attribute(), b"E1:A5:00:00:00:01\0")
