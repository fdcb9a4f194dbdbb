"""Each fault switch of the stand-in does what it says."""

import time

import dbus
from cryptography.exceptions import InvalidTag

import pemra_host
from sim_fixture import SimTestCase

DEVICE = "org.bluez.Device1"
CHARACTERISTIC = "org.bluez.GattCharacteristic1"


class Faults(SimTestCase):
    def reader_and_host(self, **options):
        device = self.new_reader(**options)
        return device, self.host(device)

    def connected(self, device):
        return bool(pemra_host.managed_objects(self.control.connection)[device][DEVICE]["Connected"])

    def test_silent_drops_the_next_replies_only(self):
        device, gatt = self.reader_and_host()
        self.control.set_fault("silent", 1, device)
        gatt.send_short(b"\x10")
        gatt.settle(0.3)
        self.assertEqual(gatt.notifications[4], [])
        self.assertEqual(gatt.transfer(b"\x55"), b"\xff")
        self.assertEqual(len(self.control.log("silent", device)), 1)

    def test_reply_delay_holds_replies_and_header_reads(self):
        device, gatt = self.reader_and_host()
        self.control.set_fault("reply-delay-ms", 300, device)
        started = time.monotonic()
        self.assertEqual(gatt.transfer(b"\x55"), b"\xff")
        self.assertGreaterEqual(time.monotonic() - started, 0.3)
        started = time.monotonic()
        self.assertEqual(gatt.transfer(b"\x55" * 30), b"\xff")
        self.assertGreaterEqual(time.monotonic() - started, 0.3)

    def test_disconnect_after_fragments_sends_that_many_then_disconnects(self):
        device, gatt = self.reader_and_host()
        self.control.set_fault("disconnect-after-fragments", 1, device)
        gatt.send_long(pemra_host.key_exchange_request())  # a reply of 2 fragments
        gatt.settle(0.3)
        self.assertEqual(len(gatt.notifications[4]), 1)
        self.assertFalse(self.connected(device))

    def test_disconnect_at_each_long_stage(self):
        for stage in (1, 2, 3):
            with self.subTest(stage=stage):
                device, gatt = self.reader_and_host()
                self.control.set_fault("disconnect-at-long-stage", stage, device)
                gatt.write(1, b"\x41\x00")
                if stage > 1:
                    gatt.write(2, pemra_host.key_exchange_request())
                if stage > 2:
                    self.assertEqual(len(gatt.read(3)), 4)
                gatt.settle(0.2)
                self.assertFalse(self.connected(device))
                self.assertEqual(gatt.notifications[4], [])

    def test_disconnect_at_long_stage_4_comes_after_a_body_write_that_leaves_the_body_incomplete(self):
        device, gatt = self.reader_and_host()
        self.control.set_fault("disconnect-at-long-stage", 4, device)
        request = pemra_host.key_exchange_request()
        gatt.write(1, b"\x41\x00")
        gatt.write(2, request[:20])
        gatt.settle(0.2)
        self.assertFalse(self.connected(device))
        with self.assertRaisesRegex(dbus.DBusException, "Not connected"):
            gatt.write(2, request[20:])

    def test_write_and_read_faults_fail_the_next_calls_then_heal(self):
        for fault, call in (("fail-write-1", lambda g: g.write(1, b"\x00\x00")),
                            ("fail-write-2", lambda g: g.write(2, b"\x00")),
                            ("fail-write-7", lambda g: g.write(7, b"\x00\x00")),
                            ("fail-read-3", lambda g: g.read(3))):
            with self.subTest(fault=fault):
                device, gatt = self.reader_and_host()
                self.control.set_fault(fault, 1, device)
                with self.assertRaisesRegex(dbus.DBusException, "org.bluez.Error.Failed"):
                    call(gatt)
                gatt.write(1, b"\x00\x00")  # a long transfer may start afresh
                call(gatt)

    def test_start_notify_faults_fail_on_their_characteristic(self):
        for number in (4, 8):
            with self.subTest(characteristic=number):
                device = self.new_reader()
                gatt = self.host(device, notify=())
                self.control.set_fault(f"fail-start-notify-{number}", 2, device)
                for _ in range(2):
                    with self.assertRaisesRegex(dbus.DBusException, "org.bluez.Error.Failed"):
                        gatt.start_notify(number)
                gatt.start_notify(number)
                gatt.start_notify(12 - number)

    def test_corrupt_tag_spoils_the_next_encrypted_reply(self):
        device = self.new_reader()
        link = self.linked(device)
        self.control.set_fault("corrupt-tag", 1, device)
        with self.assertRaises(InvalidTag):
            link.exchange(b"\x10")
        self.assertEqual(link.exchange(b"\x10")[0], 0)

    def header(self, fault, long=True):
        device, gatt = self.reader_and_host()
        self.control.set_fault(fault, 1, device)
        if long:
            # The 33-byte key-exchange reply, in fragments of 19 and 14.
            header = gatt.send_long(pemra_host.key_exchange_request())
        else:
            gatt.send_short(b"\x7e")
            gatt.wait_fragments(1)
            header = gatt.notifications[4][0][1:5]
        gatt.settle(0.2)
        return header, gatt.notifications[4]

    def test_header_faults_break_the_reply_header_as_named(self):
        header, _ = self.header("header-zero-fragment-size")
        self.assertEqual(header, bytes([33, 0, 0, 0]))
        header, _ = self.header("header-zero-total")
        self.assertEqual(header, bytes([0, 0, 0, 19]))
        header, _ = self.header("header-zero-total", long=False)
        self.assertEqual(header, bytes([0, 0, 0, 19]))
        header, fragments = self.header("short-header")
        self.assertEqual(header, bytes([33, 0, 0]))
        self.assertEqual(len(fragments), 2)
        _, fragments = self.header("short-header", long=False)
        self.assertEqual(fragments[0], bytes([0, 5, 0, 0]))  # total: 4 + the reply FF

    def test_too_many_fragments_sends_more_than_256_one_byte_fragments(self):
        header, fragments = self.header("header-too-many-fragments")
        self.assertEqual(header, bytes([0x2C, 0x01, 0, 1]))
        self.assertEqual(len(fragments), 300)
        self.assertEqual({len(f) for f in fragments}, {2})
        self.assertEqual(fragments[256][0], 0)

    def test_oversized_fragments_carry_one_byte_more_than_announced(self):
        header, fragments = self.header("oversized-fragments")
        self.assertEqual(header[3], 18)
        self.assertEqual(len(fragments[0]), 20)

    def test_key_reply_03_answers_the_session_key_request_with_five_bytes(self):
        device, gatt = self.reader_and_host()
        link = pemra_host.Link(gatt)
        link.key_exchange()
        self.control.set_fault("key-reply-03", 1, device)
        self.assertEqual(link.start_session(), bytes([3, 0, 0, 0, 0]))
        self.assertEqual(len(link.start_session()), 21)

    def test_short_key_exchange_reply_lacks_the_last_byte_once(self):
        device, gatt = self.reader_and_host()
        self.control.set_fault("short-key-exchange-reply", 1, device)
        self.assertEqual(len(gatt.transfer(pemra_host.key_exchange_request())), 32)
        self.assertEqual(len(pemra_host.Link(gatt).key_exchange()), 33)

    def test_short_reply_cuts_the_next_encrypted_reply_to_3_bytes(self):
        device = self.new_reader()
        link = self.linked(device)
        self.control.set_fault("short-reply", 1, device)
        self.assertEqual(len(link.gatt.transfer(link.seal(b"\x10"))), 3)
        link.counter += 1  # the reader sealed a whole reply before cutting it
        self.assertEqual(link.exchange(b"\x10")[0], 0)

    def test_failed_status_replaces_the_status_byte_of_the_next_encrypted_reply(self):
        device = self.new_reader()
        link = self.linked(device)
        self.control.set_fault("failed-status", 1, device)
        self.assertEqual(link.exchange(b"\x10")[0], 0xFE)
        self.assertEqual(link.exchange(b"\x10")[0], 0)

    def test_forget_keys_makes_the_reader_refuse_the_old_key(self):
        device = self.new_reader()
        link = self.linked(device)
        self.control.forget_keys(device)
        self.assertEqual(link.start_session(), b"\x01")

    def test_plain_reply_bytes_answers_plain_requests_with_counting_bytes(self):
        device, gatt = self.reader_and_host()
        self.control.set_fault("plain-reply-bytes", 300, device)
        self.assertEqual(gatt.transfer(b"\x55" * 30), bytes(i % 256 for i in range(300)))
        self.assertEqual(gatt.transfer(b"\x55"), bytes(i % 256 for i in range(300)))
        self.control.set_fault("plain-reply-bytes", 0, device)
        self.assertEqual(gatt.transfer(b"\x55"), b"\xff")

    def test_fragment_interval_paces_fragments_and_queues_the_next_reply(self):
        device, gatt = self.reader_and_host()
        self.control.set_fault("plain-reply-bytes", 100, device)  # 6 fragments of 19
        self.control.set_fault("fragment-interval-ms", 50, device)
        started = time.monotonic()
        gatt.send_short(b"\x55")
        gatt.wait_fragments(1)
        gatt.write(7, b"\x01\x00\x55")  # a second request while the first reply goes out
        self.assertTrue(gatt.wait_fragments(12))
        self.assertGreaterEqual(time.monotonic() - started, 11 * 0.05)
        self.assertEqual([n[0] for n in gatt.notifications[4]], [0, 1, 2, 3, 4, 5] * 2)

    def test_connection_interval_sends_one_answer_or_notification_per_event(self):
        device, gatt = self.reader_and_host()
        self.control.set_fault("plain-reply-bytes", 100, device)  # 6 fragments of 19, 104 with the header
        self.control.set_fault("connection-interval-us", 20000, device)
        reply = bytes(i % 256 for i in range(100))
        for message, events in ((b"\x55", 1 + 6),             # the short write's answer, 6 notifications
                                (b"\x55" * 30, 1 + 2 + 1 + 6)):  # length, 2 body chunks, header read
            with self.subTest(length=len(message)):
                started = time.monotonic()
                self.assertEqual(gatt.transfer(message), reply)
                self.assertGreaterEqual(time.monotonic() - started, events * 0.02)
        started = time.monotonic()
        gatt.write(2, bytes(40))  # above MTU - 3: 3 Prepare Writes of 18 bytes, then the Execute Write
        self.assertGreaterEqual(time.monotonic() - started, 4 * 0.02)
        self.control.set_fault("connection-interval-us", 0, device)
        self.assertEqual(gatt.transfer(b"\x55"), reply)

    def test_connection_interval_answers_a_waiting_write_when_the_link_drops(self):
        device, gatt = self.reader_and_host()
        self.control.set_fault("connection-interval-us", 2_000_000, device)
        errors = []
        gatt.characteristic(7).WriteValue(dbus.Array(b"\x01\x00\x55", signature="y"),
                                          dbus.Dictionary({}, signature="sv"),
                                          reply_handler=lambda: None, error_handler=errors.append)
        gatt.settle(0.1)
        self.control.set_connected(False, device)
        gatt.settle(0.3)
        self.assertEqual([e.get_dbus_name() for e in errors], ["org.bluez.Error.Failed"])

    def write_values(self, gatt, writes):
        """WriteValue calls sent at once; their outcomes, "answered" or the
        error's name, as (characteristic, outcome) when they come."""
        outcomes = []
        for number, value in writes:
            gatt.characteristic(number).WriteValue(
                dbus.Array(value, signature="y"), dbus.Dictionary({}, signature="sv"),
                reply_handler=lambda n=number: outcomes.append((n, "answered")),
                error_handler=lambda error, n=number: outcomes.append((n, error.get_dbus_name())))
        return outcomes

    def test_a_write_request_outstanding_refuses_the_next_on_its_characteristic_only(self):
        device, gatt = self.reader_and_host()
        self.control.set_fault("connection-interval-us", 2_000_000, device)
        outcomes = self.write_values(gatt, ((1, b"\x05\x00"), (1, b"\x05\x00"), (7, b"\x00\x00"),
                                            (9, b"\x07"), (9, b"\x08")))
        gatt.settle(0.3)
        # Write Commands (9) are answered once queued, Write Requests by the reader.
        self.assertEqual(sorted(outcomes), [(1, "org.bluez.Error.InProgress"), (9, "answered"), (9, "answered")])
        self.control.set_connected(False, device)

    def test_att_timeout_drops_the_link_when_a_request_stays_unanswered(self):
        device, gatt = self.reader_and_host()
        self.control.set_fault("att-timeout-ms", 200, device)
        self.control.set_fault("reply-delay-ms", 5000, device)
        with self.assertRaisesRegex(dbus.DBusException, "org.bluez.Error.Failed"):
            gatt.send_long(b"\x55" * 30)
        self.assertFalse(self.connected(device))

    def test_notifications_end_at_disconnect_ends_the_sessions_at_the_next_link_loss(self):
        device, gatt = self.reader_and_host()
        self.control.set_fault("notifications-end-at-disconnect", 1, device)
        self.control.set_connected(False, device)
        self.control.set_connected(True, device)
        objects = pemra_host.managed_objects(self.control.connection)
        self.assertEqual([objects[gatt.chars[n]][CHARACTERISTIC]["Notifying"] for n in (4, 8)], [False, False])

    def test_connect_in_one_signal_announces_connected_and_services_resolved_together(self):
        device, gatt = self.reader_and_host()
        self.control.set_fault("connect-in-one-signal", 1, device)
        self.control.set_connected(False, device)
        self.control.set_connected(True, device)
        gatt.settle(0.2)
        self.assertIn((device, DEVICE, {"Connected": True, "ServicesResolved": True}), gatt.changes)

    def test_counted_faults_set_to_minus_one_fire_every_time(self):
        device, gatt = self.reader_and_host()
        self.control.set_fault("fail-write-7", -1, device)
        for _ in range(3):
            with self.assertRaises(dbus.DBusException):
                gatt.write(7, b"\x00\x00")
        self.control.clear_faults(device)
        gatt.write(7, b"\x00\x00")

    def test_unknown_faults_are_refused(self):
        with self.assertRaisesRegex(dbus.DBusException, "unknown fault"):
            self.control.set_fault("no-such-fault", 1)


class CardFaults(SimTestCase):
    def test_empty_atr_answers_the_next_reset_00_alone(self):
        link = pemra_host.Link(self.host(self.new_reader())).connect(power_card=False)
        self.control.set_fault("empty-atr", 1, link.gatt.device)
        self.assertEqual(link.exchange(b"\x02\x01"), b"\x00")
        self.assertEqual(link.exchange(b"\x02\x01")[:2], b"\x00\x3b")


class BluezOwnFaults(SimTestCase):
    """The faults of BlueZ itself, set on "/"."""

    def get_managed_objects(self):
        return pemra_host.managed_objects(self.control.connection)

    def test_managed_objects_error_and_wrong_type_spoil_the_next_answers_only(self):
        self.control.set_fault("managed-objects-error", 1, "/")
        with self.assertRaisesRegex(dbus.DBusException, "org.bluez.Error.Failed"):
            self.get_managed_objects()
        self.control.set_fault("managed-objects-wrong-type", 1, "/")
        manager = self.control.connection.get_object("org.bluez", "/")
        self.assertEqual(manager.GetManagedObjects(dbus_interface="org.freedesktop.DBus.ObjectManager",
                                                   signature=""), "no objects")
        self.assertIn("/org/bluez/hci0", self.get_managed_objects())

    def test_register_application_error_refuses_without_reading_the_application(self):
        self.control.set_fault("register-application-error", 1, "/")
        manager = dbus.Interface(self.control.connection.get_object("org.bluez", "/org/bluez/hci0"),
                                 "org.bluez.GattManager1")
        with self.assertRaisesRegex(dbus.DBusException, "Failed to register application"):
            manager.RegisterApplication(dbus.ObjectPath("/app"), dbus.Dictionary({}, signature="sv"))
        self.assertEqual(self.control.log("application-read"), [])

    def test_name_gap_gives_up_the_name_before_the_answer_and_owns_it_again(self):
        import stack
        self.control.set_fault("name-gap-ms", 500, "/")
        self.assertIn("/org/bluez/hci0", self.get_managed_objects())
        self.assertFalse(stack.name_has_owner(self.bus.address, "org.bluez"))
        pemra_host.run_until(lambda: stack.name_has_owner(self.bus.address, "org.bluez"), 5)
        self.assertTrue(stack.name_has_owner(self.bus.address, "org.bluez"))
        # Once only.
        self.get_managed_objects()
        self.assertTrue(stack.name_has_owner(self.bus.address, "org.bluez"))


class KeyStoreFolder(SimTestCase):
    """With --key-store, a reader's keys outlive the program."""

    @classmethod
    def setUpClass(cls):
        import stack
        cls.keys = stack.make_workdir("pemra-sim-keys-")
        cls.sim_args = ("--key-store", cls.keys)
        super().setUpClass()

    @classmethod
    def tearDownClass(cls):
        import shutil
        super().tearDownClass()
        shutil.rmtree(cls.keys, ignore_errors=True)

    def test_a_restarted_stand_in_still_knows_the_host(self):
        import os
        import simctl
        link = pemra_host.Link(self.host(simctl.DEFAULT_READER)).connect()
        stored = os.path.join(self.keys, "E1:A5:00:00:00:01", "00:1A:7D:DA:71:00")
        with open(stored, "rb") as key_file:
            self.assertEqual(key_file.read(), link.ltk)
        self.sim.stop()
        self.sim.start()
        again = pemra_host.Link(self.host(simctl.DEFAULT_READER), ltk=link.ltk)
        self.assertEqual(len(again.start_session()), 21)
