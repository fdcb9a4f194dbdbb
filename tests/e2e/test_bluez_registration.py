"""The driver in pcscd registers its GATT application with BlueZ's adapters,
serves it to BlueZ, and rescans when a reader may have become ready."""

import dbus

import simctl
import stack
from driver_stack import DriverStackTestCase, wait_until

PEMRA_UUID = "723e2ee5-f0aa-4f13-a557-6b3f0e916803"
PROFILE_PATH = "/com/tarvenk/pemraprofile"
APPLICATION_PATH = "/com/tarvenk"
RESCAN = "something interesting in bt happened, rescanning"
DEVICE_INTERFACE = "org.bluez.Device1"


class RegistrationWithTwoAdapters(DriverStackTestCase):
    sim_args = ("--adapters", "2")

    def registered_adapters(self):
        return {adapter for adapter, _, application, names_pemra in self.control.applications()
                if application == APPLICATION_PATH and names_pemra}

    def driver_object(self, path):
        """The driver's exported object, reached through the sender BlueZ saw."""
        sender = self.control.applications()[0][1]
        connection = dbus.bus.BusConnection(self.bus.address)
        self.addCleanup(connection.close)
        return connection.get_object(sender, path)

    def test_every_adapter_gets_the_application_with_the_pemra_uuid(self):
        wait_until(lambda: len(self.registered_adapters()) == 2, what="two registrations")
        self.assertEqual(self.registered_adapters(), {"/org/bluez/hci0", "/org/bluez/hci1"})

    def test_an_adapter_added_later_gets_it_after_new_interface(self):
        wait_until(lambda: len(self.registered_adapters()) == 2, what="the first registrations")
        adapter = self.control.add_adapter()
        self.addCleanup(self.control.remove_adapter, adapter)
        wait_until(lambda: adapter in self.registered_adapters(), what="the new adapter's registration")
        self.assertIn(f"new interface: {adapter}", self.driver_log())

    def test_application_answers_the_same_to_every_read_and_prints_each(self):
        wait_until(lambda: self.registered_adapters(), what="a registration")
        manager = self.driver_object(APPLICATION_PATH)
        before = self.count_in_driver_log("profile added")
        first = manager.GetManagedObjects(dbus_interface="org.freedesktop.DBus.ObjectManager")
        second = manager.GetManagedObjects(dbus_interface="org.freedesktop.DBus.ObjectManager")
        self.assertEqual(first, second)
        self.assertEqual(list(first.keys()), [PROFILE_PATH])
        self.assertEqual(list(first[PROFILE_PATH]["org.bluez.GattProfile1"]["UUIDs"]), [PEMRA_UUID])
        wait_until(lambda: self.count_in_driver_log("profile added") == before + 2, what="two lines")

    def test_profile_uuids_can_be_read_and_replaced_and_release_changes_nothing(self):
        wait_until(lambda: self.registered_adapters(), what="a registration")
        profile = self.driver_object(PROFILE_PATH)
        properties = "org.freedesktop.DBus.Properties"
        self.assertEqual(list(profile.Get("org.bluez.GattProfile1", "UUIDs", dbus_interface=properties)),
                         [PEMRA_UUID])
        self.assertIsNone(profile.Release(dbus_interface="org.bluez.GattProfile1"))
        two = dbus.Array(["1234", PEMRA_UUID], signature="s")
        profile.Set("org.bluez.GattProfile1", "UUIDs", two, dbus_interface=properties)
        self.assertEqual(list(profile.Get("org.bluez.GattProfile1", "UUIDs", dbus_interface=properties)),
                         ["1234", PEMRA_UUID])
        # The application still names only the Pemra service.
        manager = self.driver_object(APPLICATION_PATH)
        answer = manager.GetManagedObjects(dbus_interface="org.freedesktop.DBus.ObjectManager")
        self.assertEqual(list(answer[PROFILE_PATH]["org.bluez.GattProfile1"]["UUIDs"]), [PEMRA_UUID])


class RescanOnDeviceChanges(DriverStackTestCase):
    sim_args = ("--disconnected",)

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # The worker listens to BlueZ's signals from before its first scan on.
        wait_until(lambda: "not connected" in cls.pcscd.log(), what="the first scan")

    def settle(self):
        """Waits until the driver has printed the device change it got."""
        props = self.count_in_driver_log("props: ")
        return lambda: self.count_in_driver_log("props: ") > props

    def rescans_after(self, change):
        before = self.count_in_driver_log(RESCAN)
        printed = self.settle()
        change()
        wait_until(printed, what="the driver's props line")
        return self.count_in_driver_log(RESCAN) - before

    def test_connected_and_resolved_in_one_change_schedule_exactly_one_rescan(self):
        self.control.set_fault("connect-in-one-signal", 1)
        self.assertEqual(self.rescans_after(lambda: self.control.set_connected(True)), 1)
        self.assertEqual(self.rescans_after(lambda: self.control.set_connected(False)), 0)

    def test_pairing_schedules_a_rescan_and_unpairing_does_not(self):
        self.assertEqual(self.rescans_after(lambda: self.control.set_paired(False)), 0)
        self.assertEqual(self.rescans_after(lambda: self.control.set_paired(True)), 1)

    def set_device_properties(self, **values):
        self.control.set_properties(simctl.DEFAULT_READER, DEVICE_INTERFACE, values)

    def test_connected_false_with_paired_true_in_one_change_schedules_one_rescan(self):
        changes = {"Connected": dbus.Boolean(False), "Paired": dbus.Boolean(True)}
        self.assertEqual(self.rescans_after(lambda: self.set_device_properties(**changes)), 1)

    def test_an_rssi_change_alone_is_printed_and_schedules_no_rescan(self):
        self.assertEqual(self.rescans_after(lambda: self.set_device_properties(RSSI=dbus.Int16(-60))), 0)
        self.assertIn("props: {'RSSI': <int16 -60>}", self.driver_log())

    def test_connected_resolved_and_paired_true_in_one_change_schedule_exactly_one_rescan(self):
        self.control.set_fault("connect-in-one-signal", 1)
        self.assertEqual(self.rescans_after(lambda: self.control.set_connected(True)), 1)
        changes = {name: dbus.Boolean(True) for name in ("Connected", "ServicesResolved", "Paired")}
        self.assertEqual(self.rescans_after(lambda: self.set_device_properties(**changes)), 1)
        self.assertEqual(self.rescans_after(lambda: self.control.set_connected(False)), 0)


class UnpairedReader(DriverStackTestCase):
    sim_args = ("--unpaired",)

    def test_is_skipped_until_it_pairs_and_then_taken(self):
        wait_until(lambda: "device not paired" in self.driver_log(), what="the skipped reader")
        self.assertEqual([entry for entry in self.control.log() if entry.event == "start-notify"], [])
        self.assertFalse(self.card_present())
        self.control.set_paired(True)
        wait_until(self.card_present, what="the card of the paired reader")


class BusAppearingAfterStart(DriverStackTestCase):
    """pcscd starts the driver before the bus exists; its presence poll
    retries the start until the bus and BlueZ answer."""
    bus_at_start = False

    def test_the_next_presence_poll_completes_the_start(self):
        wait_until(lambda: "error registering profile" in self.driver_log(), what="the failed start")
        self.start_bus_and_bluez()
        wait_until(lambda: self.control.applications(), what="the registration after the bus appeared")
        self.assertEqual(self.control.applications()[0][2], APPLICATION_PATH)


class RegistrationTestCase(DriverStackTestCase):
    """BlueZ's own faults set before pcscd starts, for the registration."""
    faults_at_start = ()  # (fault, value) on "/"

    @classmethod
    def before_pcscd(cls):
        for fault, value in cls.faults_at_start:
            cls.control.set_fault(fault, value, "/")

    def wait_for_line(self, line):
        wait_until(lambda: line in self.driver_log().splitlines(), what=repr(line))


class ObjectQueryRefused(RegistrationTestCase):
    faults_at_start = (("managed-objects-error", 1),)

    def test_is_reported_and_the_first_scan_still_takes_the_reader(self):
        self.wait_for_line("registering to all adapters failed: "
                           "GDBus.Error:org.bluez.Error.Failed: Objects unavailable")
        wait_until(self.card_present, what="the card")
        self.assertEqual(self.control.applications(), [])


class ObjectQueryAnsweredWithAString(RegistrationTestCase):
    faults_at_start = (("managed-objects-wrong-type", 1),)

    def test_is_reported_and_the_first_scan_still_takes_the_reader(self):
        self.wait_for_line("registering to all adapters failed: Method \u201cGetManagedObjects\u201d returned "
                           "type \u201c(s)\u201d, but expected \u201c(a{oa{sa{sv}}})\u201d")
        wait_until(self.card_present, what="the card")
        self.assertEqual(self.control.applications(), [])


class RegistrationRefusedByOneAdapter(RegistrationTestCase):
    sim_args = ("--adapters", "2")
    faults_at_start = (("register-application-error", 1),)

    def test_is_reported_and_the_other_adapter_has_the_application(self):
        wait_until(lambda: len(self.control.log(event="register-application")) == 2, what="two registrations")
        wait_until(lambda: len(self.control.applications()) == 1, what="one application")
        wait_until(self.card_present, what="the card")
        refused = [line for line in self.driver_log().splitlines() if line.startswith("cannot register at ")]
        self.assertEqual(len(refused), 1, refused)
        self.assertTrue(refused[0].endswith(": GDBus.Error:org.bluez.Error.Failed: Failed to register application"))


class BluezGoneWhileRegistering(RegistrationTestCase):
    """BlueZ answers the object query, then leaves and cannot be started
    until it comes back 1.5 s later."""
    bus_services = {"org.bluez": "/bin/false"}
    faults_at_start = (("name-gap-ms", 1500),)

    def test_the_adapter_is_reported_and_bluez_back_gets_the_application_and_the_reader_is_taken(self):
        self.wait_for_line("cannot register at /org/bluez/hci0: Error calling StartServiceByName for org.bluez: "
                           "Process org.bluez exited with status 1")
        wait_until(lambda: stack.name_has_owner(self.bus.address, simctl.BLUEZ), what="BlueZ back")
        self.assertTrue(self.pcscd.alive())
        wait_until(self.control.applications, what="the registration once BlueZ is back")
        wait_until(self.card_present, what="the card")
