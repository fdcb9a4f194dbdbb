#include "sim_process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include <giomm/dbusconnection.h>
#include <giomm/init.h>

extern char **environ;

namespace {

constexpr auto start_limit = std::chrono::seconds(10);
constexpr auto poll_interval = std::chrono::milliseconds(10);

bool bluez_name_has_owner(const Glib::RefPtr<Gio::DBus::Connection> &bus)
{
    const auto reply = bus->call_sync("/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
                                      Glib::VariantContainerBase::create_tuple(
                                          {Glib::Variant<Glib::ustring>::create("org.bluez")}),
                                      "org.freedesktop.DBus");
    Glib::Variant<bool> owned;
    reply.get_child(owned, 0);
    return owned.get();
}

} // namespace

SimProcess::SimProcess(const std::vector<std::string> &arguments)
{
    const char *bus_address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    if (bus_address == nullptr)
        throw std::runtime_error("no private bus for pemra_sim");
    std::vector<const char *> argv{PEMRA_SIM_PATH, "--bus", bus_address};
    for (const auto &argument : arguments)
        argv.push_back(argument.c_str());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, PEMRA_SIM_PATH, nullptr, nullptr, const_cast<char **>(argv.data()), environ) != 0)
        throw std::runtime_error("cannot start pemra_sim");

    Gio::init();
    const auto bus = Gio::DBus::Connection::create_for_address_sync(
        bus_address,
        Gio::DBus::ConnectionFlags::AUTHENTICATION_CLIENT | Gio::DBus::ConnectionFlags::MESSAGE_BUS_CONNECTION);
    const auto deadline = std::chrono::steady_clock::now() + start_limit;
    while (!bluez_name_has_owner(bus)) {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            throw std::runtime_error("pemra_sim exited at start");
        }
        if (std::chrono::steady_clock::now() > deadline) {
            stop();
            throw std::runtime_error("pemra_sim did not come up");
        }
        std::this_thread::sleep_for(poll_interval);
    }
    bus->close_sync();
}

SimProcess::~SimProcess() { stop(); }

int SimProcess::stop()
{
    if (pid_ <= 0)
        return 0;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
