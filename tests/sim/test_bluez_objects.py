"""The stand-in shows BlueZ's objects, properties and signals as BlueZ does."""

import dbus
import dbus.service
from gi.repository import Gio

import pemra_host
import simctl
from sim_fixture import SimTestCase

OBJECT_MANAGER = "org.freedesktop.DBus.ObjectManager"
DEVICE = "org.bluez.Device1"
CHAR = "org.bluez.GattCharacteristic1"
SERVICE = "org.bluez.GattService1"


class Application(dbus.service.Object):
    """A GATT application with one profile, as a host exports it; counts the
    Release calls on the profile."""

    def __init__(self, bus, uuids):
        super().__init__(bus, "/app")
        self.uuids = uuids
        self.releases = 0
        self.profile = Profile(bus, self)

    def remove(self):
        self.profile.remove_from_connection()
        self.remove_from_connection()

    @dbus.service.method(OBJECT_MANAGER, out_signature="a{oa{sa{sv}}}")
    def GetManagedObjects(self):
        return {dbus.ObjectPath("/app/profile"): {
            "org.bluez.GattProfile1": {"UUIDs": dbus.Array(self.uuids, signature="s")}}}


class Profile(dbus.service.Object):
    def __init__(self, bus, application):
        super().__init__(bus, "/app/profile")
        self.application = application

    @dbus.service.method("org.bluez.GattProfile1")
    def Release(self):
        self.application.releases += 1


def register(bus, adapter):
    """RegisterApplication("/app") on the adapter: "ok" or the error."""
    manager = dbus.Interface(bus.get_object("org.bluez", adapter), "org.bluez.GattManager1")
    outcome = []
    manager.RegisterApplication("/app", dbus.Dictionary({}, signature="sv"),
                                reply_handler=lambda: outcome.append("ok"), error_handler=outcome.append)
    assert pemra_host.run_until(lambda: outcome, 5)
    return outcome[0]


class BluezObjects(SimTestCase):
    def setUp(self):
        self.client = dbus.bus.BusConnection(self.bus.address)
        self.addCleanup(self.client.close)
        self.signals = []
        for name in ("InterfacesAdded", "InterfacesRemoved"):
            self.client.add_signal_receiver(lambda *args, member=name: self.signals.append((member, args)),
                                         name, OBJECT_MANAGER, "org.bluez")
        self.client.add_signal_receiver(
            lambda iface, changed, invalidated, path: self.signals.append(("PropertiesChanged", (path, dict(changed)))),
            "PropertiesChanged", "org.freedesktop.DBus.Properties", "org.bluez", path_keyword="path")

    def objects(self):
        return pemra_host.managed_objects(self.client)

    def wait_signals(self, count, member=None):
        def arrived():
            return len([s for s in self.signals if member in (None, s[0])]) >= count
        self.assertTrue(pemra_host.run_until(arrived, 2), self.signals)

    def drain(self):
        pemra_host.run_until(lambda: False, 0.1)
        self.signals.clear()

    def test_the_default_tree_has_one_adapter_and_one_ready_reader_with_nine_characteristics(self):
        objects = self.objects()
        adapter = objects[simctl.DEFAULT_ADAPTER]
        self.assertIn("org.bluez.Adapter1", adapter)
        self.assertIn("org.bluez.GattManager1", adapter)
        device = objects[simctl.DEFAULT_READER][DEVICE]
        self.assertEqual(device["Address"], "E1:A5:00:00:00:01")
        self.assertEqual((device["Connected"], device["Paired"], device["ServicesResolved"]), (True, True, True))
        self.assertEqual(device["Adapter"].__class__, dbus.ObjectPath)
        self.assertEqual(device["RSSI"].__class__, dbus.Int16)
        service = objects[simctl.DEFAULT_READER + "/service0010"]["org.bluez.GattService1"]
        self.assertEqual((service["UUID"], service["Device"]), (pemra_host.PEMRA_SERVICE, simctl.DEFAULT_READER))
        chars = sorted(str(i[CHAR]["UUID"]) for p, i in objects.items() if CHAR in i)
        self.assertEqual(chars, [f"0000000{n}-f0aa-4f13-a557-6b3f0e916803" for n in range(1, 10)])
        value = objects[simctl.DEFAULT_READER + "/service0010/char0011"][CHAR]["Value"]
        self.assertEqual(value.signature, "y")

    def test_adding_and_removing_a_reader_announces_its_objects(self):
        device = self.control.add_reader(address="AA:BB:CC:00:11:22")
        self.assertEqual(device, "/org/bluez/hci0/dev_AA_BB_CC_00_11_22")
        self.wait_signals(11)
        added = [args[0] for member, args in self.signals if member == "InterfacesAdded"]
        self.assertEqual(added[:2], [device, device + "/service0010"])
        self.assertEqual(len(added), 11)
        self.drain()
        self.control.remove_reader(device)
        self.wait_signals(11, "InterfacesRemoved")
        removed = [args[0] for member, args in self.signals if member == "InterfacesRemoved"]
        self.assertEqual(removed[-2:], [device + "/service0010", device])
        self.assertNotIn(device, self.objects())

    def test_a_new_adapter_is_announced_with_its_gatt_manager(self):
        self.drain()
        adapter = self.control.add_adapter()
        self.addCleanup(self.control.remove_adapter, adapter)
        self.wait_signals(1)
        member, (path, interfaces) = self.signals[0]
        self.assertEqual((member, path), ("InterfacesAdded", adapter))
        self.assertIn("org.bluez.GattManager1", interfaces)

    def test_removing_an_adapter_disconnects_and_removes_its_readers_first(self):
        adapter = self.control.add_adapter()
        device = self.control.add_reader(adapter)
        self.drain()
        self.control.remove_adapter(adapter)
        self.wait_signals(12, "InterfacesRemoved")
        order = [(member, args[0]) for member, args in self.signals if member != "PropertiesChanged" or
                 args[0] == device]
        self.assertEqual(order[0], ("PropertiesChanged", device))
        self.assertEqual(order[-1], ("InterfacesRemoved", adapter))
        self.assertNotIn(device, self.control.readers())

    def test_connection_changes_come_as_one_properties_changed_signal(self):
        device = self.new_reader()
        self.drain()
        self.control.set_connected(False, device)
        self.wait_signals(1)
        self.assertEqual(self.signals[0], ("PropertiesChanged", (device, {"ServicesResolved": False,
                                                                          "Connected": False})))
        self.drain()
        self.control.set_paired(False, device)
        self.wait_signals(1)
        self.assertEqual(self.signals[0][1][1], {"Paired": False, "Bonded": False})

    def test_set_properties_announces_values_of_any_type_and_serves_them(self):
        device = self.new_reader()
        self.drain()
        self.control.set_properties(device, DEVICE, {"Connected": dbus.String("yes"), "RSSI": dbus.Int16(-40)})
        self.wait_signals(1)
        self.assertEqual(self.signals[0], ("PropertiesChanged", (device, {"Connected": "yes", "RSSI": -40})))
        self.assertEqual(self.objects()[device][DEVICE]["Connected"], "yes")
        # The stand-in itself reads the odd value as false: GATT calls fail
        # as they do on a disconnected reader.
        with self.assertRaisesRegex(dbus.DBusException, "Not connected"):
            self.host(device, notify=()).write(7, b"\x00\x00")
        with self.assertRaises(dbus.DBusException):
            self.control.set_properties("/org/bluez/nothing", DEVICE, {"Connected": True})

    def test_properties_answer_get_get_all_and_set(self):
        device = self.new_reader()
        properties = dbus.Interface(self.client.get_object("org.bluez", device), "org.freedesktop.DBus.Properties")
        self.assertEqual(properties.Get(DEVICE, "Connected"), True)
        self.assertIn("ServicesResolved", properties.GetAll(DEVICE))
        properties.Set(DEVICE, "Alias", "Front desk")
        self.assertEqual(properties.Get(DEVICE, "Alias"), "Front desk")
        with self.assertRaises(dbus.DBusException):
            properties.Set(DEVICE, "Connected", False)

    def application(self, uuids=(pemra_host.PEMRA_SERVICE,)):
        application = Application(self.client, list(uuids))
        self.addCleanup(application.remove)
        return application

    def test_register_application_reads_the_application_back(self):
        self.application()
        self.assertEqual(register(self.client, simctl.DEFAULT_ADAPTER), "ok")
        sender = self.client.get_unique_name()
        self.assertIn((simctl.DEFAULT_ADAPTER, sender, "/app", True), self.control.applications())
        self.assertEqual(self.control.log("application-read")[-1].detail, "pemra-service")

    def test_an_application_without_the_pemra_uuid_is_recorded_as_such(self):
        self.application(["0000180d-0000-1000-8000-00805f9b34fb"])
        adapter = self.control.add_adapter()
        self.addCleanup(self.control.remove_adapter, adapter)
        register(self.client, adapter)
        self.assertIn((adapter, self.client.get_unique_name(), "/app", False), self.control.applications())

    def test_release_follows_unregister_application_and_the_adapter_removal(self):
        application = self.application()
        adapter = self.control.add_adapter()
        self.assertEqual(register(self.client, adapter), "ok")
        self.assertEqual(register(self.client, adapter).get_dbus_name(), "org.bluez.Error.AlreadyExists")
        manager = dbus.Interface(self.client.get_object("org.bluez", adapter), "org.bluez.GattManager1")
        manager.UnregisterApplication("/app", reply_handler=lambda: None, error_handler=print)
        self.assertTrue(pemra_host.run_until(lambda: application.releases == 1, 5))
        self.assertEqual(register(self.client, adapter), "ok")
        self.control.remove_adapter(adapter)
        self.assertTrue(pemra_host.run_until(lambda: application.releases == 2, 5))
        pemra_host.run_until(lambda: len(self.control.log("release", adapter)) == 2, 5)
        self.assertEqual([entry.detail for entry in self.control.log("release", adapter)],
                         [f"{self.client.get_unique_name()} /app/profile ok"] * 2)

    def test_a_profile_without_uuids_fails_the_registration_after_the_read_and_is_released(self):
        application = self.application(uuids=())
        error = register(self.client, simctl.DEFAULT_ADAPTER)
        self.assertEqual(error.get_dbus_name(), "org.bluez.Error.InvalidArguments")
        self.assertTrue(pemra_host.run_until(lambda: application.releases == 1, 5))

    def test_notifications_flow_only_while_notifying(self):
        device = self.new_reader()
        gatt = self.host(device, notify=())
        gatt.send_short(b"\x10")
        gatt.settle(0.2)
        self.assertEqual(gatt.notifications[4], [])
        gatt.start_notify(4)
        gatt.send_short(b"\x55")
        self.assertTrue(gatt.wait_fragments(1))
        self.assertEqual(gatt.notifications[4][0], bytes.fromhex("0005000013ff"))

    def test_gatt_calls_follow_the_characteristic_flags_and_the_connection(self):
        device = self.new_reader()
        gatt = self.host(device, notify=())
        for call in (lambda: gatt.write(3, b"\x00"), lambda: gatt.read(7), lambda: gatt.start_notify(7)):
            with self.assertRaisesRegex(dbus.DBusException, "org.bluez.Error.NotSupported"):
                call()
        self.control.set_connected(False, device)
        for call in (lambda: gatt.write(7, b"\x00\x00"), lambda: gatt.read(3)):
            with self.assertRaisesRegex(dbus.DBusException, "org.bluez.Error.Failed: Not connected"):
                call()
        # A session started while disconnected waits for the next connection.
        gatt.start_notify(8)
        with self.assertRaisesRegex(dbus.DBusException, "org.bluez.Error.InProgress"):
            gatt.start_notify(8)
        self.control.set_connected(True, device)
        self.assertTrue(pemra_host.run_until(lambda: gatt.notifications[8] == [b"\x01\x06"], 2))

    def test_sessions_outlive_a_link_loss_and_the_status_comes_before_services_resolve(self):
        device = self.new_reader()
        gatt = self.host(device)
        self.assertTrue(pemra_host.run_until(lambda: gatt.notifications[8], 2))
        self.drain()
        self.control.set_connected(False, device)
        self.control.set_connected(True, device)
        self.wait_signals(4)
        pemra_host.run_until(lambda: False, 0.1)
        self.assertEqual([args for member, args in self.signals], [
            (device, {"ServicesResolved": False, "Connected": False}),
            (device, {"Connected": True}),
            (gatt.chars[8], {"Value": [1, 6]}),
            (device, {"ServicesResolved": True})])
        self.assertTrue(self.objects()[gatt.chars[4]][CHAR]["Notifying"])

    def test_every_notification_is_announced_once_per_session(self):
        device = self.new_reader()
        gatt = self.host(device, notify=(4,))
        other = self.host(device, notify=(4,))
        fragment = bytes.fromhex("0005000013ff")
        gatt.send_short(b"\x55")
        self.assertTrue(gatt.wait_fragments(2))
        gatt.settle(0.1)
        self.assertEqual(gatt.notifications[4], [fragment] * 2)
        other.characteristic(4).StopNotify()
        gatt.send_short(b"\x55")
        self.assertTrue(gatt.wait_fragments(1))
        gatt.settle(0.1)
        self.assertEqual(gatt.notifications[4], [fragment])

    def test_a_second_start_notify_on_an_enabled_characteristic_writes_nothing_to_the_reader(self):
        device = self.new_reader()
        gatt = self.host(device, notify=(8,))
        self.assertTrue(pemra_host.run_until(lambda: gatt.notifications[8], 2))
        gatt.start_notify(8)
        self.host(device, notify=(8,))
        gatt.settle(0.2)
        self.assertEqual(gatt.notifications[8], [b"\x01\x06"])

    def test_a_session_ends_with_its_client_leaving_the_bus_or_its_stop_notify(self):
        device = self.new_reader()
        first = self.host(device, notify=(4,))
        second = pemra_host.Gatt(self.bus.address, device)
        second.start_notify(4, 8)
        second.close()

        def notifying(number):
            return bool(self.objects()[first.chars[number]][CHAR]["Notifying"])
        self.assertTrue(pemra_host.run_until(lambda: not notifying(8), 2))
        self.assertTrue(notifying(4))
        with self.assertRaisesRegex(dbus.DBusException, "org.bluez.Error.Failed"):
            first.characteristic(8).StopNotify()
        first.characteristic(4).StopNotify()
        self.assertFalse(notifying(4))

    def test_scenario_options_shape_the_service(self):
        device = self.new_reader(address="../../x", omit_characteristics=[5, 6],
                                 uppercase_characteristics=[4])
        objects = self.objects()
        self.assertEqual(objects[device][DEVICE]["Address"], "../../x")
        chars = {str(i[CHAR]["UUID"])[:9]: i[CHAR]["UUID"] for p, i in objects.items()
                 if CHAR in i and p.startswith(device + "/")}
        self.assertEqual(sorted(chars), [f"0000000{n}-" for n in (1, 2, 3, 4, 7, 8, 9)])
        self.assertEqual(chars["00000004-"], "00000004-F0AA-4F13-A557-6B3F0E916803")

    def test_a_reader_option_of_the_wrong_type_is_refused(self):
        for options in ({"uppercase_characteristics": "1"}, {"paired": "yes"}, {"name": True}):
            with self.subTest(options=options):
                with self.assertRaisesRegex(dbus.DBusException, "has the wrong type"):
                    self.control.add_reader(**options)
        self.assertTrue(self.sim.alive())

    def test_a_foreign_service_repeats_the_characteristic_uuids_and_refuses_calls(self):
        device = self.new_reader(foreign_service=True)
        objects = self.objects()
        services = {p: i[SERVICE]["UUID"] for p, i in objects.items()
                    if SERVICE in i and i[SERVICE]["Device"] == device}
        self.assertEqual(len(services), 2)
        foreign = next(p for p, uuid in services.items() if uuid != pemra_host.PEMRA_SERVICE)
        chars = [p for p, i in objects.items() if CHAR in i and i[CHAR]["Service"] == foreign]
        self.assertEqual(sorted(str(objects[p][CHAR]["UUID"])[:9] for p in chars),
                         [f"0000000{n}-" for n in range(1, 10)])
        characteristic = dbus.Interface(self.client.get_object("org.bluez", chars[0]),
                                        "org.bluez.GattCharacteristic1")
        with self.assertRaisesRegex(dbus.DBusException, "NotPermitted"):
            characteristic.StartNotify()
        self.assertEqual(len(self.control.log("foreign-call", device)), 1)

    def test_remove_device_on_the_adapter_removes_the_reader(self):
        device = self.control.add_reader()
        adapter = dbus.Interface(self.client.get_object("org.bluez", simctl.DEFAULT_ADAPTER), "org.bluez.Adapter1")
        adapter.RemoveDevice(dbus.ObjectPath(device))
        self.assertNotIn(device, self.control.readers())


class Shutdown(SimTestCase):
    def test_bluez_releases_the_applications_before_it_leaves_the_bus(self):
        client = dbus.bus.BusConnection(self.bus.address)
        self.addCleanup(client.close)
        application = Application(client, [pemra_host.PEMRA_SERVICE])
        self.assertEqual(register(client, simctl.DEFAULT_ADAPTER), "ok")
        self.sim.process.terminate()
        self.assertTrue(pemra_host.run_until(lambda: application.releases == 1, 5))
        self.assertEqual(self.sim.stop(), 0)


class GioProxies(SimTestCase):
    """What the driver's GIO proxies rely on: property caches that follow the
    notifications."""

    def test_a_gio_proxy_caches_each_notified_value(self):
        connection = Gio.DBusConnection.new_for_address_sync(
            self.bus.address,
            Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION,
            None, None)
        self.addCleanup(connection.close_sync, None)
        gatt = self.host(simctl.DEFAULT_READER, notify=())
        proxies = {n: Gio.DBusProxy.new_sync(connection, Gio.DBusProxyFlags.NONE, None, "org.bluez",
                                             gatt.chars[n], CHAR, None) for n in (4, 8)}
        seen = []
        proxies[4].connect("g-properties-changed",
                           lambda proxy, changed, invalidated: seen.append(bytes(proxy.get_cached_property("Value"))))
        self.assertFalse(proxies[8].get_cached_property("Notifying").unpack())
        proxies[4].call_sync("StartNotify", None, Gio.DBusCallFlags.NONE, -1, None)
        proxies[8].call_sync("StartNotify", None, Gio.DBusCallFlags.NONE, -1, None)
        gatt.send_short(b"\x55")
        self.assertTrue(pemra_host.run_until(lambda: len(seen) >= 2, 2))
        self.assertEqual(seen[-1], bytes.fromhex("0005000013ff"))
        self.assertTrue(pemra_host.run_until(
            lambda: bytes(proxies[8].get_cached_property("Value") or b"") == b"\x01\x06", 2))
