// Which of BlueZ's devices count as ready readers, whatever the bus sends.

#include <gtest/gtest.h>

#include "discovery/reader_candidates.h"

namespace {

Glib::VariantBase boolean(bool value)
{
    return Glib::Variant<bool>::create(value);
}

InterfaceMap device(Glib::VariantBase connected, Glib::VariantBase resolved, Glib::VariantBase paired)
{
    return {{"org.bluez.Device1", {{"Connected", connected}, {"ServicesResolved", resolved}, {"Paired", paired}}}};
}

std::string printed_by(const InterfaceMap &object, bool *ready)
{
    testing::internal::CaptureStdout();
    *ready = check_bt_device_ready(object);
    return testing::internal::GetCapturedStdout();
}

TEST(DeviceReadiness, AConnectedResolvedPairedDeviceIsReady)
{
    bool ready = false;
    EXPECT_EQ(printed_by(device(boolean(true), boolean(true), boolean(true)), &ready), "");
    EXPECT_TRUE(ready);
}

TEST(DeviceReadiness, EachMissingConditionIsNamedWithoutALineEnd)
{
    bool ready = true;
    EXPECT_EQ(printed_by(device(boolean(false), boolean(true), boolean(true)), &ready), "not connected");
    EXPECT_FALSE(ready);
    EXPECT_EQ(printed_by(device(boolean(true), boolean(false), boolean(true)), &ready), "services not resolved");
    EXPECT_EQ(printed_by(device(boolean(true), boolean(true), boolean(false)), &ready), "device not paired");
    EXPECT_FALSE(ready);
}

TEST(DeviceReadiness, PropertiesOfAnotherTypeCountAsAbsent)
{
    bool ready = true;
    Glib::VariantBase text = Glib::Variant<Glib::ustring>::create("true");
    EXPECT_EQ(printed_by(device(text, boolean(true), boolean(true)), &ready), "");
    EXPECT_FALSE(ready);
    EXPECT_EQ(printed_by(device(boolean(true), Glib::Variant<int>::create(1), boolean(true)), &ready), "");
    EXPECT_FALSE(ready);
    EXPECT_EQ(printed_by({{"org.bluez.Adapter1", {}}}, &ready), "");
    EXPECT_FALSE(ready);
}

} // namespace
