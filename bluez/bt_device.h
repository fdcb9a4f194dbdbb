#pragma once

#include <optional>
#include <string>

#include "bluez/bluez_proxy.h"

// Client of org.bluez.Device1 on one device object.
class BTDevice {
public:
    // Throws Glib::Error when the proxy cannot be made.
    BTDevice(const Glib::RefPtr<Gio::DBus::Connection> &connection, const Glib::ustring &object_path);

    // The Bluetooth address as BlueZ reports it, if it does.
    std::optional<std::string> get_address() const;
    // Disconnect: BlueZ drops the link, and connects the device by itself no
    // more until Connect. Connect: BlueZ connects it, and does so by itself
    // again. Each completion gets null on success, else the error; it runs
    // on the main loop after the call has returned.
    void disconnect(std::function<void(const Glib::Error *error)> done);
    void connect(std::function<void(const Glib::Error *error)> done);

    // Every property change of the device; Connected among them.
    sigc::signal<void(const Glib::VariantBase &changed)> &signal_properties_changed()
    {
        return proxy_.signal_properties_changed();
    }

private:
    BluezProxy proxy_;
};
