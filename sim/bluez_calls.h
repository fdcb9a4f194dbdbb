// Calls of the peripheral to the real bluetoothd ("org.bluez"), never
// blocking: bluetoothd calls back into this program before it answers some
// of them (GetManagedObjects at RegisterApplication, GetAll at
// RegisterAdvertisement, the agent during a pairing), and a blocking call
// would wait for itself.
#pragma once

#include <functional>

#include <giomm/dbusconnection.h>

#include "sim/variants.h"

namespace pemra_sim {

using BluezReply = std::function<void(const Glib::VariantContainerBase &reply)>;
using BluezFailure = std::function<void(const Glib::Error &error)>;

class BluezCalls {
public:
    explicit BluezCalls(Glib::RefPtr<Gio::DBus::Connection> connection) : connection_(std::move(connection)) {}

    const Glib::RefPtr<Gio::DBus::Connection> &connection() const { return connection_; }

    void call(const Glib::ustring &path, const Glib::ustring &interface, const Glib::ustring &method,
              const Glib::VariantContainerBase &args, BluezReply done, BluezFailure failed);
    // org.freedesktop.DBus.Properties.Set
    void set_property(const Glib::ustring &path, const Glib::ustring &interface, const Glib::ustring &name,
                      const Glib::VariantBase &value, BluezReply done, BluezFailure failed);

private:
    Glib::RefPtr<Gio::DBus::Connection> connection_;
};

// A failure that is only worth a line on standard error.
BluezFailure print_failure(std::string what);

} // namespace pemra_sim
