#include "bluez/bluez_proxy.h"

#include <gio/gio.h>

#include <cstdio>
#include <map>
#include <mutex>

namespace {

constexpr char properties_interface[] = "org.freedesktop.DBus.Properties";

Glib::VariantContainerBase tuple_of(std::vector<Glib::VariantBase> values)
{
    return Glib::VariantContainerBase::create_tuple(values);
}

} // namespace

const Glib::RefPtr<Gio::DBus::InterfaceInfo> &parse_interface(const char *xml)
{
    using Parsed = std::map<const char *, Glib::RefPtr<Gio::DBus::InterfaceInfo>>;
    static auto &parsed = *new Parsed;
    static auto &parsed_mutex = *new std::mutex;
    std::lock_guard lock(parsed_mutex);
    Glib::RefPtr<Gio::DBus::InterfaceInfo> &interface = parsed[xml];
    if (!interface) {
        Glib::RefPtr<Gio::DBus::NodeInfo> node = Gio::DBus::NodeInfo::create_for_xml(xml);
        interface = Glib::wrap(node->gobj()->interfaces[0], true);
    }
    return interface;
}

BluezProxy::BluezProxy(const Glib::RefPtr<Gio::DBus::Connection> &connection, const Glib::ustring &object_path,
                       const char *interface_xml, int property_timeout_ms)
    : proxy_(Gio::DBus::Proxy::create_sync(connection, bluez_bus_name, object_path,
                                           parse_interface(interface_xml)->gobj()->name,
                                           parse_interface(interface_xml))),
      object_path_(object_path), interface_name_(proxy_->get_interface_name()),
      property_timeout_ms_(property_timeout_ms)
{
    // The raw signal keeps BlueZ's dictionary as it came, order included.
    properties_changed_handler_ = g_signal_connect(proxy_->gobj(), "g-properties-changed",
                                                   G_CALLBACK(&BluezProxy::on_properties_changed), this);
}

BluezProxy::~BluezProxy()
{
    g_signal_handler_disconnect(proxy_->gobj(), properties_changed_handler_);
}

void BluezProxy::on_properties_changed(GDBusProxy *, GVariant *changed, const gchar *const *, gpointer self)
{
    static_cast<BluezProxy *>(self)->properties_changed_.emit(Glib::VariantBase(changed, true));
}

Glib::VariantContainerBase BluezProxy::call_sync(const Glib::ustring &member,
                                                 const Glib::VariantContainerBase &arguments) const
{
    return proxy_->call_sync(member, arguments);
}

void BluezProxy::call_async(const Glib::ustring &member, const Glib::VariantContainerBase &arguments,
                            CallCompletion done) const
{
    // The slot holds the proxy, so the proxy lives until the completion ran.
    Glib::RefPtr<Gio::DBus::Proxy> proxy = proxy_;
    proxy_->call(
        member,
        [proxy, done = std::move(done)](const Glib::RefPtr<Gio::AsyncResult> &result) {
            Glib::VariantContainerBase reply;
            try {
                reply = proxy->call_finish(result);
            } catch (const Glib::Error &error) {
                done(&error, reply);
                return;
            }
            done(nullptr, reply);
        },
        arguments);
}

std::optional<Glib::VariantBase> BluezProxy::get_property(const Glib::ustring &name,
                                                          const Glib::VariantType &type) const
{
    Glib::VariantBase value;
    proxy_->get_cached_property(value, name);
    if (!value) {
        try {
            Glib::VariantContainerBase reply = proxy_->get_connection()->call_sync(
                object_path_, properties_interface, "Get",
                tuple_of({Glib::Variant<Glib::ustring>::create(interface_name_),
                          Glib::Variant<Glib::ustring>::create(name)}),
                {}, bluez_bus_name, property_timeout_ms_, Gio::DBus::CallFlags::NONE,
                Glib::VariantType("(v)"));
            Glib::Variant<Glib::VariantBase> boxed;
            reply.get_child(boxed, 0);
            value = boxed.get();
        } catch (const Glib::Error &error) {
            std::fprintf(stderr, "cannot read %s of %s: %s\n", name.c_str(), object_path_.c_str(), error.what());
            return std::nullopt;
        }
    }
    if (!value || !value.is_of_type(type))
        return std::nullopt;
    return value;
}
