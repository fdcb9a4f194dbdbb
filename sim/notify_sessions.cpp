#include "sim/notify_sessions.h"

#include <algorithm>

#include "sim/interfaces.h"

namespace pemra_sim {

namespace {

constexpr char bus_name[] = "org.freedesktop.DBus";
constexpr char bus_path[] = "/org/freedesktop/DBus";

template <typename Sessions>
bool held_by(const Sessions &sessions, const Glib::ustring &client)
{
    return std::ranges::any_of(sessions, [&](const auto &session) { return session.client == client; });
}

void fail(const Invocation &invocation, const char *message)
{
    if (invocation)
        invocation->return_dbus_error(bluez_error::failed, message);
}

} // namespace

NotifySessions::NotifySessions(Glib::RefPtr<Gio::DBus::Connection> connection, Hooks hooks)
    : connection_(std::move(connection)), hooks_(std::move(hooks))
{
}

NotifySessions::~NotifySessions()
{
    for (const auto &[client, subscription] : watches_)
        connection_->signal_unsubscribe(subscription);
}

void NotifySessions::start(int number, const Invocation &invocation, bool connected)
{
    Characteristic &target = characteristics_[number];
    const Glib::ustring client = invocation->get_sender();
    if (held_by(target.sessions, client)) {
        // bluetoothd answers a client's second StartNotify at once while its
        // session is enabled, with InProgress before (src/gatt-client.c).
        if (target.enabled)
            return invocation->return_value({});
        return invocation->return_dbus_error(bluez_error::in_progress, "In Progress");
    }
    watch(client);
    // Disconnected, bluetoothd keeps the session for the next connection;
    // with the reader's notifications on already, it writes nothing.
    if (!connected || target.enabled) {
        target.sessions.push_back({client, {}});
        update_notifying(number, target);
        return invocation->return_value({});
    }
    target.sessions.push_back({client, invocation});
    if (!std::exchange(target.enabling, true))
        hooks_.enable(number);
}

void NotifySessions::stop(int number, const Invocation &invocation)
{
    Characteristic &target = characteristics_[number];
    const auto session = std::ranges::find(target.sessions, invocation->get_sender(), &Session::client);
    if (session == target.sessions.end())
        return invocation->return_dbus_error(bluez_error::failed, "No notify session started");
    fail(session->starting, "Notify session stopped");
    target.sessions.erase(session);
    ended(number, target);
    unwatch_idle_clients();
    invocation->return_value({});
}

void NotifySessions::enabled(int number)
{
    Characteristic &target = characteristics_[number];
    target.enabling = false;
    target.enabled = !target.sessions.empty();
    std::vector<Invocation> answered;
    for (auto &session : target.sessions) {
        if (session.starting)
            answered.push_back(std::exchange(session.starting, {}));
    }
    // bluetoothd announces Notifying before it answers StartNotify.
    update_notifying(number, target);
    for (const auto &invocation : answered)
        invocation->return_value({});
}

void NotifySessions::connected()
{
    for (auto &[number, target] : characteristics_) {
        if (!target.sessions.empty() && !std::exchange(target.enabling, true))
            hooks_.enable(number);
    }
}

void NotifySessions::link_lost(bool end_all)
{
    for (auto &[number, target] : characteristics_) {
        target.enabling = false;
        target.enabled = false;
        // A session that was still starting ends with its StartNotify.
        for (const auto &session : target.sessions)
            fail(session.starting, "Not connected");
        std::erase_if(target.sessions, [end_all](const Session &session) { return end_all || session.starting; });
        update_notifying(number, target);
    }
    unwatch_idle_clients();
}

std::size_t NotifySessions::listeners(int number) const
{
    const auto found = characteristics_.find(number);
    if (found == characteristics_.end() || !found->second.enabled)
        return 0;
    return found->second.sessions.size();
}

void NotifySessions::ended(int number, Characteristic &target)
{
    // The last session's end switches the reader's notifications off.
    if (target.sessions.empty() && std::exchange(target.enabled, false))
        hooks_.disable(number);
    update_notifying(number, target);
}

void NotifySessions::update_notifying(int number, Characteristic &target)
{
    const bool on = std::ranges::any_of(target.sessions, [](const Session &session) { return !session.starting; });
    if (std::exchange(target.notifying, on) != on)
        hooks_.notifying(number, on);
}

void NotifySessions::watch(const Glib::ustring &client)
{
    if (watches_.contains(client))
        return;
    watches_[client] = connection_->signal_subscribe(
        [this](const Glib::RefPtr<Gio::DBus::Connection> &, const Glib::ustring &, const Glib::ustring &,
               const Glib::ustring &, const Glib::ustring &, const Glib::VariantContainerBase &parameters) {
            if (argument<Glib::ustring>(parameters, 2).empty())
                client_left(argument<Glib::ustring>(parameters, 0));
        },
        bus_name, bus_name, "NameOwnerChanged", bus_path, client);
}

void NotifySessions::unwatch_idle_clients()
{
    std::erase_if(watches_, [this](const auto &watch) {
        const bool idle = std::ranges::none_of(characteristics_, [&](const auto &entry) {
            return held_by(entry.second.sessions, watch.first);
        });
        if (idle)
            connection_->signal_unsubscribe(watch.second);
        return idle;
    });
}

// bluetoothd ends the sessions of a client that leaves the bus
// (src/gatt-client.c).
void NotifySessions::client_left(const Glib::ustring &client)
{
    for (auto &[number, target] : characteristics_) {
        const auto removed = std::erase_if(target.sessions, [&](const Session &session) {
            return session.client == client;
        });
        if (removed > 0)
            ended(number, target);
    }
    unwatch_idle_clients();
}

} // namespace pemra_sim
