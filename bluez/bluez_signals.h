#pragma once

#include <giomm/dbusconnection.h>
#include <glibmm/variant.h>

#include <vector>

// BlueZ's signals about its whole object tree, typed: the properties that
// changed on any device object, and interfaces added to or removed from any
// object. A signal is taken only from the unique name that owns "org.bluez"
// as the caller last followed it, and only with arguments of the expected
// types: the bus may carry anything under BlueZ's name, and a signal sent
// straight to our connection passes no match rule.
class BluezSignals {
public:
    // Subscribes on the connection; unsubscribes when destroyed.
    explicit BluezSignals(const Glib::RefPtr<Gio::DBus::Connection> &connection);
    ~BluezSignals();
    BluezSignals(const BluezSignals &) = delete;
    BluezSignals &operator=(const BluezSignals &) = delete;

    // The unique name that owns "org.bluez" now; empty while none does.
    void follow_owner(const Glib::ustring &owner) { owner_ = owner; }

    // The changed properties (a{sv}) of a Device1 object.
    sigc::signal<void(const Glib::VariantBase &changed)> signal_device_changed;
    // An object's added interfaces with their properties (a{sa{sv}}).
    sigc::signal<void(const Glib::ustring &path, const Glib::VariantBase &interfaces)> signal_interfaces_added;
    sigc::signal<void(const Glib::ustring &path, const std::vector<Glib::ustring> &interfaces)>
        signal_interfaces_removed;

private:
    guint subscribe(const char *interface, const char *member, const char *arg0_namespace = nullptr);
    static void received(GDBusConnection *, const char *sender, const char *path, const char *interface,
                         const char *member, GVariant *parameters, gpointer self);
    void device_properties_changed(const Glib::VariantContainerBase &parameters);
    void interfaces_added(const Glib::VariantContainerBase &parameters);
    void interfaces_removed(const Glib::VariantContainerBase &parameters);

    Glib::RefPtr<Gio::DBus::Connection> connection_;
    Glib::ustring owner_;
    std::vector<guint> subscriptions_;
};
