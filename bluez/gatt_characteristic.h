#pragma once

#include <memory>
#include <span>

#include "bluez/bluez_proxy.h"
#include "bluez/bytes.h"

// Client of org.bluez.GattCharacteristic1 on one characteristic object.
class GattCharacteristic : public std::enable_shared_from_this<GattCharacteristic> {
public:
    using ReadCompletion = std::function<void(const Glib::Error *error, Bytes value)>;
    using WriteCompletion = std::function<void(const Glib::Error *error)>;

    // Throws Glib::Error when the proxy cannot be made.
    GattCharacteristic(const Glib::RefPtr<Gio::DBus::Connection> &connection, const Glib::ustring &object_path);

    // ReadValue with empty options: the characteristic's current value.
    void read_value(ReadCompletion done);
    // WriteValue with empty options; completes once the write is done.
    // Without a completion no reply is asked for: the outcome stays unknown.
    void write_value(std::span<const std::uint8_t> data, WriteCompletion done);
    // Throw Glib::Error on failure.
    void start_notify();
    void stop_notify();

    // Cached properties (BlueZ is asked when the cache lacks them); the empty
    // value when neither has one.
    Bytes get_value() const;
    bool get_notifying() const;
    Glib::ustring get_u_u_i_d() const;
    Glib::ustring get_service() const;

    // Every property change; notified values arrive as changes of Value.
    sigc::signal<void(const Glib::VariantBase &changed)> &signal_properties_changed()
    {
        return proxy_.signal_properties_changed();
    }

private:
    BluezProxy proxy_;
};
