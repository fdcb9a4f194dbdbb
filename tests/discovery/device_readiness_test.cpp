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

struct Row {
    const char *name;
    InterfaceMap object;
    bool ready;
    // A condition that is false is named, without a line end; one that is
    // absent or of another type counts as not met, silently.
    const char *printed;
};

class DeviceReadiness : public testing::TestWithParam<Row> {};

TEST_P(DeviceReadiness, IsConnectedResolvedAndPaired)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(check_bt_device_ready(GetParam().object), GetParam().ready);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), GetParam().printed);
}

INSTANTIATE_TEST_SUITE_P(
    Devices, DeviceReadiness,
    testing::Values(Row{"Ready", device(boolean(true), boolean(true), boolean(true)), true, ""},
                    Row{"NotConnected", device(boolean(false), boolean(true), boolean(true)), false, "not connected"},
                    Row{"ServicesNotResolved", device(boolean(true), boolean(false), boolean(true)), false,
                        "services not resolved"},
                    Row{"NotPaired", device(boolean(true), boolean(true), boolean(false)), false, "device not paired"},
                    Row{"ConnectedAsText", device(Glib::Variant<Glib::ustring>::create("true"), boolean(true),
                                                  boolean(true)),
                        false, ""},
                    Row{"ResolvedAsNumber", device(boolean(true), Glib::Variant<int>::create(1), boolean(true)), false,
                        ""},
                    Row{"NoDeviceInterface", {{"org.bluez.Adapter1", {}}}, false, ""}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
