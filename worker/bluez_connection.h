#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <set>
#include <vector>

#include <giomm/dbusconnection.h>

#include "common/backoff.h"
#include "worker/pemra_profile.h"
#include "worker/pemra_profile_manager.h"

// The worker's connection to the system bus: it exports the driver's GATT
// application, registers it with BlueZ's adapters, and tells the worker when
// a reader may have become ready or when BlueZ and its links went away. A
// connection that closes (the bus restarted) is noticed, and the worker
// connects again, with pauses, until the bus is back.
class BluezConnection {
public:
    struct Events {
        std::function<void()> scan;        // a reader may be ready
        std::function<void()> lost;        // every link BlueZ held is gone
        std::function<void()> unavailable; // the bus cannot be reached now
    };

    // The pauses between two attempts to reach the bus again.
    static constexpr std::chrono::milliseconds first_reconnect_pause{1000};
    static constexpr std::chrono::milliseconds reconnect_pause_limit{8000};

    explicit BluezConnection(Events events);

    // On the worker thread: connects, exports, registers and subscribes, or
    // tries again after a pause.
    void setup_bus();
    // Unexports and lets go of the bus, as a worker that ends does.
    void shut_down();

    void register_profile_to_all_adapters();
    void register_profile_to_adapter(const Glib::ustring &adapter);

    // Signal handlers; they take BlueZ's signals only from the connection
    // that owns "org.bluez".
    void some_bt_device_changed(const Glib::ustring &sender_name, const Glib::VariantContainerBase &parameters);
    void bt_adapter_added(const Glib::ustring &sender_name, const Glib::VariantContainerBase &parameters);
    void bt_adapter_removed(const Glib::ustring &sender_name, const Glib::VariantContainerBase &parameters);

    // The system bus connection, set while the bus set-up holds.
    Glib::RefPtr<Gio::DBus::Connection> conn;

private:
    void connect_and_export();
    void subscribe_bluez_signals();
    void bus_closed();
    void schedule_setup();
    bool from_bluez(const Glib::ustring &sender_name) const;
    void bluez_appeared(const Glib::ustring &owner);
    void bluez_vanished();
    void registration_failed(const Glib::ustring &adapter, const Glib::Error &error);

    Events events_;
    std::unique_ptr<PemraProfile> profile_;
    std::unique_ptr<PemraProfileManager> manager_;
    std::vector<guint> exports_;
    std::vector<guint> subscriptions_;
    guint name_watch_ = 0;
    // The unique name of BlueZ's connection; empty while it has none.
    Glib::ustring bluez_owner_;
    // Adapters of that owner that have the application or are being asked.
    std::set<Glib::ustring> registered_adapters_;
    sigc::connection closed_handler_;
    Backoff reconnect_{first_reconnect_pause, reconnect_pause_limit};
};
