#pragma once

#include "bluez/bluez_proxy.h"

// Client of org.bluez.GattManager1 on one adapter object.
class GattManager1 {
public:
    // Throws Glib::Error when the proxy cannot be made.
    GattManager1(const Glib::RefPtr<Gio::DBus::Connection> &connection, const Glib::ustring &adapter_path);

    // RegisterApplication with empty options, sent without waiting: BlueZ's
    // answer is never examined.
    void register_application(const Glib::ustring &application_path);

private:
    BluezProxy proxy_;
};
