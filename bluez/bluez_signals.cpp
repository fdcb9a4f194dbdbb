#include "bluez/bluez_signals.h"

#include <optional>

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
        subscribe(properties_interface, "PropertiesChanged", &BluezSignals::device_properties_changed,
                  device_interface),
        subscribe(object_manager_interface, "InterfacesAdded", &BluezSignals::interfaces_added),
        subscribe(object_manager_interface, "InterfacesRemoved", &BluezSignals::interfaces_removed),
    };
}

BluezSignals::~BluezSignals()
{
    for (guint subscription : subscriptions_)
        connection_->signal_unsubscribe(subscription);
}

guint BluezSignals::subscribe(const char *interface, const char *member, Handler handler, const char *arg0_namespace)
{
    return connection_->signal_subscribe(
        [this, handler](const auto &, const Glib::ustring &sender, const auto &, const auto &, const auto &,
                        const Glib::VariantContainerBase &parameters) {
            if (!owner_.empty() && sender == owner_)
                (this->*handler)(parameters);
        },
        bluez_bus_name, interface, member, {}, arg0_namespace ? arg0_namespace : "",
        arg0_namespace ? Gio::DBus::SignalFlags::MATCH_ARG0_NAMESPACE : Gio::DBus::SignalFlags::NONE);
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
