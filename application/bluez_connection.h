#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include <giomm/dbusconnection.h>

#include "application/adapter_registration.h"
#include "application/pemra_profile.h"
#include "application/pemra_profile_manager.h"
#include "bluez/bluez_signals.h"
#include "common/backoff.h"

// The driver's side of the system bus: its own connection, the driver's
// GATT application exported there and registered with BlueZ's adapters, and
// the watch of who owns "org.bluez", the one way BlueZ's coming and going is
// followed. It tells its user when a reader may have become ready and when
// BlueZ and its links went away. A connection that closes (the bus
// restarted) is noticed, and connected again, with pauses, until the bus is
// back.
class BluezConnection {
public:
    struct Events {
        // The bus connection is up: BlueZ is reached over it.
        std::function<void(const Glib::RefPtr<Gio::DBus::Connection> &)> connected;
        std::function<void()> scan;        // a reader may be ready
        std::function<void()> bluez_gone;  // BlueZ left the bus with every link it held
        std::function<void()> lost;        // the bus went away, and the connection with it
        std::function<void()> unavailable; // the bus or BlueZ cannot be reached now
    };

    // The pauses between two attempts to reach the bus again.
    static constexpr std::chrono::milliseconds first_reconnect_pause{1000};
    static constexpr std::chrono::milliseconds reconnect_pause_limit{8000};

    explicit BluezConnection(Events events);
    ~BluezConnection();
    BluezConnection(const BluezConnection &) = delete;
    BluezConnection &operator=(const BluezConnection &) = delete;

    // On the worker thread: connects, exports and watches, or tries again
    // after a pause.
    void set_up();
    // Unexports and lets go of the bus, as a worker that ends does.
    void shut_down();

private:
    void connect_and_export();
    void watch_bluez();
    void bus_closed();
    void schedule_set_up();
    void bluez_appeared(const Glib::ustring &owner);
    void bluez_vanished();
    void device_changed(const Glib::VariantBase &changed);
    void interfaces_added(const Glib::ustring &path, const Glib::VariantBase &interfaces);
    void interfaces_removed(const Glib::ustring &path, const std::vector<Glib::ustring> &interfaces);

    Events events_;
    // The system bus connection, set while the bus set-up holds.
    Glib::RefPtr<Gio::DBus::Connection> connection_;
    sigc::connection closed_handler_;
    std::unique_ptr<PemraProfile> profile_;
    std::unique_ptr<PemraProfileManager> manager_;
    std::vector<guint> exports_;
    std::optional<BluezSignals> signals_;
    guint name_watch_ = 0;
    // The unique name of BlueZ's connection; empty while it has none.
    Glib::ustring bluez_owner_;
    AdapterRegistration registration_;
    Backoff reconnect_{first_reconnect_pause, reconnect_pause_limit};
};
