// The reader's link to its host as the reader's bluetoothd shows it: the
// devices it knows (org.bluez.Device1) with their addresses, which of them
// is connected, and the means to drop the link.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>

#include "sim/bluez_calls.h"

namespace pemra_sim {

class HostLink {
public:
    struct Hooks {
        std::function<void(const std::string &address)> connected;
        std::function<void(const std::string &address)> disconnected;
    };

    HostLink(BluezCalls &bluez, Hooks hooks);
    ~HostLink();
    HostLink(const HostLink &) = delete;
    HostLink &operator=(const HostLink &) = delete;

    // Reads the devices bluetoothd knows and follows them from then on.
    void start(std::function<void()> done, BluezFailure failed);
    std::optional<std::string> address_of(const Glib::ustring &device) const;
    // Device1.Disconnect on every connected host; `done` once bluetoothd
    // has answered them all.
    void disconnect(std::function<void()> done = [] {});

private:
    struct Device {
        std::string address;
        bool connected = false;
    };

    void subscribe(const Glib::ustring &interface, const Glib::ustring &member,
                   std::function<void(const Glib::ustring &path, const Glib::VariantContainerBase &args)> handler);
    void read_objects(const Glib::VariantContainerBase &reply);
    void interfaces_added(const Glib::VariantContainerBase &args);
    void properties_changed(const Glib::ustring &path, const Glib::VariantContainerBase &args);
    void update(const Glib::ustring &path, const PropertyMap &properties);

    BluezCalls &bluez_;
    Hooks hooks_;
    std::map<Glib::ustring, Device> devices_;
    std::vector<guint> subscriptions_;
};

} // namespace pemra_sim
