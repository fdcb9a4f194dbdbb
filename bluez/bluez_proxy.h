#pragma once

#include <giomm/dbusconnection.h>
#include <giomm/dbusintrospection.h>
#include <giomm/dbusproxy.h>
#include <glibmm/variant.h>

#include <functional>
#include <optional>

// BlueZ's bus name: every proxy of the driver talks to it.
inline constexpr char bluez_bus_name[] = "org.bluez";

// Completion of an asynchronous BlueZ call: null on success, else the error
// the call failed with (a transport error, a timeout or BlueZ's error reply).
using CallCompletion = std::function<void(const Glib::Error *error, Glib::VariantContainerBase reply)>;

// A client proxy for one interface of one BlueZ object: the one place that
// knows how a method call, a property read and a property write are made.
// The proxy loads the object's properties when it is made and keeps them
// current from BlueZ's PropertiesChanged signals.
class BluezProxy {
public:
    // interface_xml: the introspection record of the one interface the
    // proxy is for. property_timeout_ms: for property reads that miss the
    // cache (-1: the bus library's default). Throws Glib::Error.
    BluezProxy(const Glib::RefPtr<Gio::DBus::Connection> &connection, const Glib::ustring &object_path,
               const char *interface_xml, int property_timeout_ms = -1);
    ~BluezProxy();
    BluezProxy(const BluezProxy &) = delete;
    BluezProxy &operator=(const BluezProxy &) = delete;

    // Waits for the reply; throws Glib::Error on failure.
    Glib::VariantContainerBase call_sync(const Glib::ustring &member,
                                         const Glib::VariantContainerBase &arguments = {}) const;
    // The completion runs once, on the main loop, after this has returned.
    void call_async(const Glib::ustring &member, const Glib::VariantContainerBase &arguments,
                    CallCompletion done) const;

    // The cached value, else BlueZ's answer to Properties.Get. Nothing when
    // neither has one of the expected type: a value of an unexpected type is
    // treated as absent, so that odd input from the bus cannot crash us. A
    // failed Properties.Get is reported on standard error.
    std::optional<Glib::VariantBase> get_property(const Glib::ustring &name, const Glib::VariantType &type) const;

    // Emitted on every property change of the object, with the dictionary of
    // changed properties (a{sv}) as BlueZ sent it.
    sigc::signal<void(const Glib::VariantBase &changed)> &signal_properties_changed()
    {
        return properties_changed_;
    }

private:
    static void on_properties_changed(GDBusProxy *, GVariant *changed, const gchar *const *, gpointer self);

    Glib::RefPtr<Gio::DBus::Proxy> proxy_;
    Glib::ustring object_path_;
    Glib::ustring interface_name_;
    int property_timeout_ms_;
    sigc::signal<void(const Glib::VariantBase &)> properties_changed_;
    gulong properties_changed_handler_ = 0;
};

// The interface of an introspection record holding one, parsed once per
// record. The results are never destroyed, not even when the process exits:
// the worker thread may still be making proxies or serving objects then.
const Glib::RefPtr<Gio::DBus::InterfaceInfo> &parse_interface(const char *xml);
