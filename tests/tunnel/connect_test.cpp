// Opening a tunnel: characteristic discovery, proxies, notifications.

#include "tunnel_fixture.h"

#include <giomm/error.h>

namespace {

using Connect = TunnelTest;

Glib::VariantBase numbers(const Bytes &list) { return Glib::Variant<Bytes>::create(list); }

std::size_t occurrences(const std::string &text, const std::string &part)
{
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

PropertyMap characteristic(const std::string &uuid, const std::string &service)
{
    return {{"UUID", Glib::Variant<Glib::ustring>::create(uuid)},
            {"Service", Glib::Variant<Glib::DBusObjectPathString>::create(service)}};
}

TEST_F(Connect, FindsTheNumberedCharacteristicsAndPrintsEach)
{
    const std::string device = add_reader({});
    testing::internal::CaptureStdout();
    auto tunnel = connect(device);
    const std::string printed = testing::internal::GetCapturedStdout();
    ASSERT_NE(tunnel, nullptr);
    for (int number = 1; number <= 9; ++number)
        EXPECT_NE(printed.find("char " + std::to_string(number) + " " + characteristic_of(device, number) + "\n"),
                  std::string::npos)
            << number;
    EXPECT_EQ(tunnel->device_path, device);
    EXPECT_EQ(tunnel->address, address_of(device));
}

TEST_F(Connect, SwitchesNotificationsOf4And8OnOnceEach)
{
    const std::string device = add_reader({});
    auto tunnel = connect(device);
    ASSERT_NE(tunnel, nullptr);
    EXPECT_EQ(logged(device, "start-notify", "4").size(), 1u);
    EXPECT_EQ(logged(device, "start-notify", "8").size(), 1u);
}

TEST_F(Connect, StartNotifyFailingTwiceOn4PrintsTwiceNeverAsks8AndStillConnects)
{
    const std::string device = add_reader({});
    sim.set_fault(device, "fail-start-notify-4", 2);
    testing::internal::CaptureStderr();
    auto tunnel = connect(device);
    const std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_NE(tunnel, nullptr);
    EXPECT_EQ(occurrences(printed, "Exception staring notifications: "), 2u);
    EXPECT_EQ(logged(device, "start-notify", "4").size(), 2u);
    EXPECT_TRUE(logged(device, "start-notify", "8").empty());
}

TEST_F(Connect, TheSecondPassRetriesOnly8AfterItFailedOnce)
{
    const std::string device = add_reader({});
    sim.set_fault(device, "fail-start-notify-8", 1);
    testing::internal::CaptureStderr();
    auto tunnel = connect(device);
    EXPECT_EQ(occurrences(testing::internal::GetCapturedStderr(), "Exception staring notifications: "), 1u);
    EXPECT_EQ(logged(device, "start-notify", "4").size(), 1u);
    EXPECT_EQ(logged(device, "start-notify", "8").size(), 2u);
}

TEST_F(Connect, AServiceWithoutCharacteristic3GivesNoTunnelAndCallsNothing)
{
    const std::string device = add_reader({{"omit-characteristics", numbers({3})}});
    EXPECT_EQ(connect(device), nullptr);
    EXPECT_TRUE(logged(device, "start-notify", "4").empty());
}

TEST_F(Connect, AServiceWithoutTheUnused5And6StillCarriesTransfers)
{
    auto tunnel = connect_reader({{"omit-characteristics", numbers({5, 6})}});
    ASSERT_NE(tunnel, nullptr);
    EXPECT_EQ(transfer(*tunnel, counting(30)).reply, hex("FF"));
}

TEST_F(Connect, CapitalsAfterTheNumberDoNotMatter)
{
    auto tunnel = connect_reader({{"uppercase-characteristics", numbers({1, 2, 3, 4, 7, 8, 9})}});
    ASSERT_NE(tunnel, nullptr);
    EXPECT_EQ(transfer(*tunnel, counting(30)).reply, hex("FF"));
}

TEST_F(Connect, NumbersAboveNineCapitalNumbersAndOtherServicesAreLeftAlone)
{
    const std::string device = add_reader({});
    const std::string service = service_of(device);
    ManagedObjects objects = managed_objects();
    const std::string uuid_tail = "-f0aa-4f13-a557-6b3f0e916803";
    objects[service + "/char00a0"]["org.bluez.GattCharacteristic1"] = characteristic("0000000a" + uuid_tail, service);
    objects[service + "/char00b0"]["org.bluez.GattCharacteristic1"] = characteristic("0000000A" + uuid_tail, service);
    objects[service + "/char0100"]["org.bluez.GattCharacteristic1"] = characteristic("00000010" + uuid_tail, service);
    // Visited after the reader's own 4: it would win the number if taken.
    const std::string foreign = device + "/service0090";
    objects[foreign + "/char0091"]["org.bluez.GattCharacteristic1"] = characteristic("00000004" + uuid_tail, foreign);

    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    auto tunnel = PemraTunnelService::connect_dbus(bus, objects, service, device);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_NE(tunnel, nullptr);
    EXPECT_NE(printed.find("char 10 " + service + "/char00a0\n"), std::string::npos);
    EXPECT_NE(printed.find("char -1 " + service + "/char00b0\n"), std::string::npos);
    EXPECT_EQ(printed.find("char0100"), std::string::npos);
    EXPECT_EQ(printed.find(foreign), std::string::npos);
    run_for(50ms);
    EXPECT_EQ(transfer(*tunnel, counting(3)).reply, hex("FF"));
}

TEST_F(Connect, WithoutABusConnectionItWarnsAndGivesNoTunnel)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(PemraTunnelService::connect_dbus({}, {}, "/s", "/d"), nullptr);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("conn != NULL"), std::string::npos);
}

TEST_F(Connect, AProxyThatCannotBeMadeThrowsAnIoError)
{
    const std::string device = add_reader({});
    const ManagedObjects objects = managed_objects();
    auto closed = Gio::DBus::Connection::create_for_address_sync(
        std::getenv("DBUS_SYSTEM_BUS_ADDRESS"),
        Gio::DBus::ConnectionFlags::AUTHENTICATION_CLIENT | Gio::DBus::ConnectionFlags::MESSAGE_BUS_CONNECTION);
    closed->set_exit_on_close(false);
    closed->close_sync();
    EXPECT_THROW(PemraTunnelService::connect_dbus(closed, objects, service_of(device), device), Gio::Error);
}

TEST_F(Connect, DestructionPrintsItsLine)
{
    auto tunnel = connect_reader();
    testing::internal::CaptureStdout();
    tunnel.reset();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "tunnel service destruction\n");
}

} // namespace
