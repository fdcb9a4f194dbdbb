#pragma once

#include <deque>
#include <memory>
#include <span>

#include "bluez/bluez_proxy.h"
#include "common/bytes.h"

// Client of org.bluez.GattCharacteristic1 on one characteristic object.
class GattCharacteristic : public std::enable_shared_from_this<GattCharacteristic> {
public:
    using ReadCompletion = std::function<void(const Glib::Error *error, Bytes value)>;
    // Null on success, else the error the call failed with.
    using Completion = std::function<void(const Glib::Error *error)>;

    // Throws Glib::Error when the proxy cannot be made.
    GattCharacteristic(const Glib::RefPtr<Gio::DBus::Connection> &connection, const Glib::ustring &object_path);

    // ReadValue with empty options: the characteristic's current value.
    void read_value(ReadCompletion done);
    // WriteValue with empty options; completes once BlueZ answered it. A
    // write made while an earlier one on this characteristic waits for its
    // answer goes out after that answer: bluetoothd refuses a second Write
    // Request on a characteristic with InProgress rather than queueing it.
    // The completion may be empty.
    void write_value(std::span<const std::uint8_t> data, Completion done);
    // Throws Glib::Error on failure.
    void start_notify();
    // This client's notification session ends, then a new one starts: a
    // last session that ends switches the reader's notifications off.
    void restart_notify(Completion done);
    // org.freedesktop.DBus.Peer.Ping on the characteristic's object: BlueZ
    // answers calls in the order they come, so its answer comes after every
    // signal BlueZ sent before it read the call, and before anything BlueZ
    // does for a call made after it. The completion runs whatever the answer.
    void ping(std::function<void()> done);

    // Cached properties (BlueZ is asked when the cache lacks them); the empty
    // value when neither has one.
    Bytes get_value() const;
    bool get_notifying() const;
    // Whether Flags holds the flag ("read", "notify", ...).
    bool has_flag(const char *flag) const;

    // Every property change; notified values arrive as changes of Value.
    sigc::signal<void(const Glib::VariantBase &changed)> &signal_properties_changed()
    {
        return proxy_.signal_properties_changed();
    }

private:
    struct PendingWrite {
        Glib::VariantContainerBase arguments;
        Completion done;
    };
    void write_next();

    BluezProxy proxy_;
    // Writes waiting for the one under way, which is the first.
    std::deque<PendingWrite> writes_;
};
