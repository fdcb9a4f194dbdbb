#pragma once

#include <giomm/dbusconnection.h>
#include <giomm/dbusinterfacevtable.h>

#include <string>
#include <vector>

// The GATT profile object of the driver's application (org.bluez.GattProfile1).
// It names the Pemra service, so that BlueZ connects Pemra readers by itself.
class PemraProfile {
public:
    PemraProfile();

    // Exports the profile; its owner keeps it alive until it unexports it.
    // Throws Glib::Error (for instance when the path is taken).
    guint register_object(const Glib::RefPtr<Gio::DBus::Connection> &connection, const Glib::ustring &path);

    // BlueZ lets go of the profile: nothing to do.
    void release() {}

    const std::vector<Glib::ustring> &uuids() const { return uuids_; }
    void set_uuids(std::vector<Glib::ustring> uuids) { uuids_ = std::move(uuids); }

private:
    void on_method_call(const Glib::ustring &method, const Glib::RefPtr<Gio::DBus::MethodInvocation> &invocation);
    void on_get_property(Glib::VariantBase &value, const Glib::ustring &name) const;
    bool on_set_property(const Glib::ustring &name, const Glib::VariantBase &value);

    std::vector<Glib::ustring> uuids_;
    Gio::DBus::InterfaceVTable vtable_;
};
