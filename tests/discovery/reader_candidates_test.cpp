// Which of BlueZ's objects become reader candidates: Pemra services of
// ready devices, whatever else the tree holds.

#include <gtest/gtest.h>

#include "discovery/reader_candidates.h"

namespace {

constexpr char pemra_uuid[] = "723e2ee5-f0aa-4f13-a557-6b3f0e916803";

Glib::VariantBase text(const char *value) { return Glib::Variant<Glib::ustring>::create(value); }

Glib::VariantBase object_path(const char *value)
{
    return Glib::Variant<Glib::DBusObjectPathString>::create(value);
}

InterfaceMap service(const char *uuid, const char *device)
{
    return {{"org.bluez.GattService1", {{"UUID", text(uuid)}, {"Device", object_path(device)}}}};
}

InterfaceMap device(bool connected)
{
    const auto flag = [](bool value) { return Glib::Variant<bool>::create(value); };
    return {{"org.bluez.Device1", {{"Connected", flag(connected)}, {"ServicesResolved", flag(true)}, {"Paired", flag(true)}}}};
}

TEST(ReaderCandidates, OnlyPemraServicesOfReadyDevicesAreCandidates)
{
    const ManagedObjects objects = {
        {"/org/bluez/hci0/dev_A", device(true)},
        {"/org/bluez/hci0/dev_A/service0010", service(pemra_uuid, "/org/bluez/hci0/dev_A")},
        {"/org/bluez/hci0/dev_A/service0020", service("0000180f-0000-1000-8000-00805f9b34fb", "/org/bluez/hci0/dev_A")},
        {"/org/bluez/hci0/dev_B", device(false)},
        {"/org/bluez/hci0/dev_B/service0010", service(pemra_uuid, "/org/bluez/hci0/dev_B")},
        {"/org/bluez/hci0/dev_C/service0010", service(pemra_uuid, "/org/bluez/hci0/dev_C")},
    };
    testing::internal::CaptureStdout();
    const std::vector<ReaderCandidate> candidates = find_reader_candidates(objects);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(candidates.size(), 1u);
    EXPECT_EQ(candidates[0].service_path, "/org/bluez/hci0/dev_A/service0010");
    EXPECT_EQ(candidates[0].device_path, "/org/bluez/hci0/dev_A");
}

TEST(ReaderCandidates, AServiceWhoseDeviceIsNotAnObjectPathIsNoCandidate)
{
    ManagedObjects objects = {{"/org/bluez/hci0/dev_A", device(true)}};
    objects["/org/bluez/hci0/dev_A/service0010"] = {
        {"org.bluez.GattService1", {{"UUID", text(pemra_uuid)}, {"Device", text("/org/bluez/hci0/dev_A")}}}};
    testing::internal::CaptureStdout();
    EXPECT_TRUE(find_reader_candidates(objects).empty());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "/org/bluez/hci0/dev_A/service0010\n");
}

} // namespace
