// What the tunnel hears from the reader outside transfers: card status on
// characteristic 8 and changes of the device.

#include "tunnel_fixture.h"

namespace {

using Signals = TunnelTest;

TEST_F(Signals, EveryStatusNotificationIsPrintedAndPassedOn)
{
    auto tunnel = connect_reader();
    std::vector<Bytes> received;
    tunnel->signal_status_received.connect(
        [&](std::span<const std::uint8_t> status) { received.emplace_back(status.begin(), status.end()); });
    testing::internal::CaptureStdout();
    sim.set_card_status(reader, 0x02);
    run_until([&] { return received.size() == 1; });
    sim.set_card_status(reader, 0x06);
    run_until([&] { return received.size() == 2; });
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "status noti: 0102\nstatus noti: 0106\n");
    EXPECT_EQ(received, (std::vector<Bytes>{hex("01 02"), hex("01 06")}));
}

TEST_F(Signals, TheStatusIsPassedOnWhenNotificationsOf8StartToo)
{
    const std::string device = add_reader({});
    auto tunnel = connect(device);
    std::vector<Bytes> received;
    tunnel->signal_status_received.connect(
        [&](std::span<const std::uint8_t> status) { received.emplace_back(status.begin(), status.end()); });
    // Notifying turns true in a signal of its own, before the reader's
    // report: only a new Value is a report.
    EXPECT_TRUE(run_until([&] { return !received.empty() && received.back() == hex("01 06"); }));
    run_for(100ms);
    for (const Bytes &status : received)
        EXPECT_EQ(status, hex("01 06"));
}

TEST_F(Signals, ConnectedTurningFalsePrintsBothLinesAndEmitsDisconnected)
{
    auto tunnel = connect_reader();
    int disconnects = 0;
    tunnel->signal_disconnected.connect([&] { ++disconnects; });
    testing::internal::CaptureStdout();
    sim.set_connected(reader, false);
    run_until([&] { return disconnects > 0; });
    run_for(50ms);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(disconnects, 1);
    EXPECT_NE(printed.find("changed: {'Connected': <false>, 'ServicesResolved': <false>}\nconnected: false\n"),
              std::string::npos)
        << printed;
}

TEST_F(Signals, ConnectedTurningTrueEmitsNothing)
{
    auto tunnel = connect_reader();
    sim.set_connected(reader, false);
    run_for(50ms);
    int disconnects = 0;
    tunnel->signal_disconnected.connect([&] { ++disconnects; });
    testing::internal::CaptureStdout();
    sim.set_connected(reader, true);
    run_for(100ms);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("connected: true\n"), std::string::npos);
    EXPECT_EQ(disconnects, 0);
}

TEST_F(Signals, OtherDeviceChangesArePrintedOnly)
{
    auto tunnel = connect_reader();
    int disconnects = 0;
    tunnel->signal_disconnected.connect([&] { ++disconnects; });
    testing::internal::CaptureStdout();
    sim.set_paired(reader, false);
    run_for(100ms);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_NE(printed.find("changed: {'Bonded': <false>, 'Paired': <false>}\n"), std::string::npos) << printed;
    EXPECT_EQ(printed.find("connected:"), std::string::npos);
    EXPECT_EQ(disconnects, 0);
}

} // namespace
