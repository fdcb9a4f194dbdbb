// The reader's LE advertisement (org.bluez.LEAdvertisement1, type
// "peripheral": connectable), registered with the real bluetoothd: the
// Pemra service's UUID and the reader's name, so that a host's scan lists
// it and a host that knows it connects by itself.
#pragma once

#include <functional>
#include <string>

#include "sim/bluez_calls.h"
#include "sim/dbus_object.h"
#include "sim/sim_context.h"

namespace pemra_sim {

class Advertisement {
public:
    Advertisement(const SimContext &context, BluezCalls &bluez, Glib::ustring adapter, const std::string &name);

    // RegisterAdvertisement; bluetoothd reads the advertisement back
    // before it answers.
    void start(std::function<void()> done, BluezFailure failed);
    // UnregisterAdvertisement: the reader is not seen, and no host connects.
    void stop();

private:
    const SimContext &context_;
    BluezCalls &bluez_;
    Glib::ustring adapter_;
    ExportedObject object_;
    bool registered_ = false;
};

} // namespace pemra_sim
