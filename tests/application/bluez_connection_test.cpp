// The worker's bus connection against the stand-in: who owns "org.bluez"
// decides when the application is registered and readers are looked for.

#include <gtest/gtest.h>

#include <giomm/init.h>
#include <glibmm/main.h>

#include <algorithm>
#include <chrono>
#include <functional>

#include "private_bus.h"
#include "sim_control.h"
#include "sim_process.h"
#include "application/bluez_connection.h"

namespace {

using namespace std::chrono_literals;

bool run_until(const std::function<bool()> &done, std::chrono::milliseconds limit = 10s)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < deadline)
        Glib::MainContext::get_default()->iteration(false);
    return done();
}

std::size_t registrations(const SimControl &control)
{
    const auto log = control.log();
    return std::ranges::count(log, "register-application", &SimControl::LogEntry::event);
}

// bluetoothd and pcscd start together at boot: BlueZ owns its name only
// once the worker has set up its connection, before it has heard anything.
TEST(BluezConnection, ABluezThatAppearsBeforeTheFirstAnswerGetsTheApplicationOnceAndAScan)
{
    Gio::init();
    PrivateBus bus;
    int scans = 0;
    BluezConnection bluez({[](const auto &) {}, [&] { ++scans; }, [] {}, [] {}, [] {}});
    bluez.set_up();
    SimProcess sim;
    SimControl control(Gio::DBus::Connection::get_sync(Gio::DBus::BusType::SYSTEM));
    EXPECT_TRUE(run_until([&] { return registrations(control) > 0 && scans > 0; }));
    // Its adapter's InterfacesAdded, if it came, registered nothing more.
    const auto more = [&] { return registrations(control) > 1; };
    EXPECT_FALSE(run_until(more, 300ms));
    EXPECT_EQ(scans, 1);
    bluez.shut_down();
}

} // namespace
