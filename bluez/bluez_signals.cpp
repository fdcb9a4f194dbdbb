#include "bluez/bluez_signals.h"

#include <optional>
#include <string_view>

#include "bluez/bluez_proxy.h"

namespace {

constexpr char device_interface[] = "org.bluez.Device1";
constexpr char object_manager_interface[] = "org.freedesktop.DBus.ObjectManager";
constexpr char properties_interface[] = "org.freedesktop.DBus.Properties";

// Element `index` of a signal's parameters, if it has the expected type.
std::optional<Glib::VariantBase> argument(const Glib::VariantContainerBase &parameters, gsize index,
                                          const char *type)
{
    GVariant *raw = const_cast<GVariant *>(parameters.gobj());
    if (!raw || !g_variant_is_of_type(raw, G_VARIANT_TYPE_TUPLE) || g_variant_n_children(raw) <= index)
        return std::nullopt;
    Glib::VariantBase value(g_variant_get_child_value(raw, index));
    if (!g_variant_is_of_type(value.gobj(), G_VARIANT_TYPE(type)))
        return std::nullopt;
    return value;
}

Glib::ustring text_of(const Glib::VariantBase &value)
{
    return g_variant_get_string(const_cast<GVariant *>(value.gobj()), nullptr);
}

} // namespace

BluezSignals::BluezSignals(const Glib::RefPtr<Gio::DBus::Connection> &connection) : connection_(connection)
{
    subscriptions_ = {
        subscribe(properties_interface, "PropertiesChanged", device_interface),
        subscribe(object_manager_interface, "InterfacesAdded"),
        subscribe(object_manager_interface, "InterfacesRemoved"),
    };
}

BluezSignals::~BluezSignals()
{
    for (guint subscription : subscriptions_)
        g_dbus_connection_signal_unsubscribe(connection_->gobj(), subscription);
}

// GIO's own call, with this object as the callback's data: giomm's copies the
// handler to the heap and frees it from an idle callback after the
// unsubscription, which never runs when the worker's loop and its context end
// first. GDBus calls no handler of a subscription that is gone, so the data
// needs no freeing of its own.
guint BluezSignals::subscribe(const char *interface, const char *member, const char *arg0_namespace)
{
    return g_dbus_connection_signal_subscribe(
        connection_->gobj(), bluez_bus_name, interface, member, nullptr, arg0_namespace,
        arg0_namespace ? G_DBUS_SIGNAL_FLAGS_MATCH_ARG0_NAMESPACE : G_DBUS_SIGNAL_FLAGS_NONE, &BluezSignals::received,
        this, nullptr);
}

void BluezSignals::received(GDBusConnection *, const char *sender, const char *, const char *, const char *member,
                            GVariant *parameters, gpointer self)
{
    auto &signals = *static_cast<BluezSignals *>(self);
    if (!sender || signals.owner_.empty() || signals.owner_ != sender)
        return;
    const Glib::VariantContainerBase arguments(parameters, true);
    const std::string_view name(member);
    if (name == "PropertiesChanged")
        signals.device_properties_changed(arguments);
    else if (name == "InterfacesAdded")
        signals.interfaces_added(arguments);
    else if (name == "InterfacesRemoved")
        signals.interfaces_removed(arguments);
}

// Argument 0, the interface, is Device1's: the match rule says so.
void BluezSignals::device_properties_changed(const Glib::VariantContainerBase &parameters)
{
    if (auto changed = argument(parameters, 1, "a{sv}"))
        signal_device_changed.emit(*changed);
}

void BluezSignals::interfaces_added(const Glib::VariantContainerBase &parameters)
{
    auto path = argument(parameters, 0, "o");
    auto interfaces = argument(parameters, 1, "a{sa{sv}}");
    if (path && interfaces)
        signal_interfaces_added.emit(text_of(*path), *interfaces);
}

void BluezSignals::interfaces_removed(const Glib::VariantContainerBase &parameters)
{
    auto path = argument(parameters, 0, "o");
    auto interfaces = argument(parameters, 1, "as");
    if (path && interfaces)
        signal_interfaces_removed.emit(
            text_of(*path),
            Glib::VariantBase::cast_dynamic<Glib::Variant<std::vector<Glib::ustring>>>(*interfaces).get());
}
