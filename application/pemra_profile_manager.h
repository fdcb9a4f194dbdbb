#pragma once

#include <giomm/dbusconnection.h>
#include <giomm/dbusinterfacevtable.h>

// The root of the driver's GATT application: BlueZ reads the application's
// objects through its GetManagedObjects after RegisterApplication.
class PemraProfileManager {
public:
    PemraProfileManager();

    // Exports the manager; its owner keeps it alive until it unexports it.
    // Throws Glib::Error.
    guint register_object(const Glib::RefPtr<Gio::DBus::Connection> &connection, const Glib::ustring &path);

    // The application's one object, the profile naming the Pemra service, as
    // the reply body "(a{oa{sa{sv}}})". Always the same answer.
    Glib::VariantContainerBase get_managed_objects() const;

private:
    Gio::DBus::InterfaceVTable vtable_;
};
