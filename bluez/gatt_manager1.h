#pragma once

#include "bluez/bluez_proxy.h"

// Client of org.bluez.GattManager1 on one adapter object.
class GattManager1 {
public:
    // Throws Glib::Error when the proxy cannot be made.
    GattManager1(const Glib::RefPtr<Gio::DBus::Connection> &connection, const Glib::ustring &adapter_path);

    using RegisterCompletion = std::function<void(const Glib::Error *error)>;

    // RegisterApplication with empty options. BlueZ answers once it has read
    // the application back; the completion runs then, on the main loop.
    void register_application(const Glib::ustring &application_path, RegisterCompletion done);

private:
    BluezProxy proxy_;
};
