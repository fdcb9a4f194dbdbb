// BlueZ's notification sessions on the characteristics of one reader, kept
// as bluetoothd keeps them (src/gatt-client.c): one session per D-Bus client
// (its unique name) and characteristic, and Notifying true while any client
// holds one. A link loss keeps the sessions; the next connection enables
// them on the reader again. A session ends with the client's StopNotify or
// when the client leaves the bus. Every notification reaches every session.
#pragma once

#include <functional>
#include <map>
#include <vector>

#include "sim/dbus_object.h"

namespace pemra_sim {

class NotifySessions {
public:
    struct Hooks {
        // Writes the reader's client configuration that enables its
        // notifications; the reader's answer is to be passed to enabled().
        std::function<void(int number)> enable;
        // Writes the configuration that disables them: the last session of
        // the connection ended.
        std::function<void(int number)> disable;
        std::function<void(int number, bool on)> notifying;
    };

    NotifySessions(Glib::RefPtr<Gio::DBus::Connection> connection, Hooks hooks);
    ~NotifySessions();
    NotifySessions(const NotifySessions &) = delete;
    NotifySessions &operator=(const NotifySessions &) = delete;

    // StartNotify and StopNotify of the invocation's sender.
    void start(int number, const Invocation &invocation, bool connected);
    void stop(int number, const Invocation &invocation);
    // The reader answered the write that enabled its notifications.
    void enabled(int number);
    // A new connection: the kept sessions are enabled again.
    void connected();
    // A link loss keeps the sessions (all end with `end_all`); a StartNotify
    // still waiting for the reader fails.
    void link_lost(bool end_all);
    // How many times each notification of the characteristic is announced:
    // once per session, none while the reader's notifications are off.
    std::size_t listeners(int number) const;

private:
    struct Session {
        Glib::ustring client;
        Invocation starting; // the StartNotify that waits for the reader, if any
    };
    struct Characteristic {
        std::vector<Session> sessions;
        bool enabling = false; // the reader's client configuration is being written
        bool enabled = false;  // the reader notifies in this connection
        bool notifying = false;
    };

    void ended(int number, Characteristic &target);
    void update_notifying(int number, Characteristic &target);
    void watch(const Glib::ustring &client);
    void unwatch_idle_clients();
    void client_left(const Glib::ustring &client);

    Glib::RefPtr<Gio::DBus::Connection> connection_;
    Hooks hooks_;
    std::map<int, Characteristic> characteristics_;
    std::map<Glib::ustring, guint> watches_; // NameOwnerChanged subscriptions per client
};

} // namespace pemra_sim
