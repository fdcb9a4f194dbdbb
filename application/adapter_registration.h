#pragma once

#include <set>

#include <giomm/dbusconnection.h>

// The driver's GATT application registered with BlueZ's adapters, once per
// adapter and owner of "org.bluez": bluetoothd refuses a second registration
// of the application with AlreadyExists.
// Outlives the connections it registers over: BlueZ's answer may come after
// the connection it was asked on was let go.
class AdapterRegistration {
public:
    // With every adapter that BlueZ shows now.
    void register_with_all(const Glib::RefPtr<Gio::DBus::Connection> &connection);
    void register_with(const Glib::RefPtr<Gio::DBus::Connection> &connection, const Glib::ustring &adapter);
    // The adapter is gone: registered again should it come back.
    void forget(const Glib::ustring &adapter) { registered_.erase(adapter); }
    // BlueZ is gone: a new owner knows nothing of the application.
    void forget_all() { registered_.clear(); }

private:
    void failed(const Glib::ustring &adapter, const Glib::Error &error);

    // Adapters that have the application or are being asked.
    std::set<Glib::ustring> registered_;
};
