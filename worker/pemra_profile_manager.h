#pragma once

#include <giomm/dbusconnection.h>
#include <giomm/dbusinterfacevtable.h>

#include <memory>

// The root of the driver's GATT application: BlueZ reads the application's
// objects through its GetManagedObjects after RegisterApplication.
class PemraProfileManager : public std::enable_shared_from_this<PemraProfileManager> {
public:
    PemraProfileManager();

    // Exports the manager for the life of the process. Throws Glib::Error.
    guint register_object(const Glib::RefPtr<Gio::DBus::Connection> &connection, const Glib::ustring &path);

    // The application's one object, the profile naming the Pemra service, as
    // the reply body "(a{oa{sa{sv}}})". Always the same answer.
    Glib::VariantContainerBase get_managed_objects() const;

private:
    Gio::DBus::InterfaceVTable vtable_;
    // The export's hold on the manager: never let go, as nothing unexports it.
    std::shared_ptr<PemraProfileManager> registration_;
};
