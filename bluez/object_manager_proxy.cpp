#include "bluez/object_manager_proxy.h"

namespace {

constexpr char interface_xml[] = R"(<node>
  <interface name="org.freedesktop.DBus.ObjectManager">
    <method name="GetManagedObjects">
      <arg name="result" type="a{oa{sa{sv}}}" direction="out"/>
    </method>
    <signal name="InterfacesAdded">
      <arg name="obj" type="o"/>
      <arg name="interfaces" type="a{sa{sv}}"/>
    </signal>
  </interface>
</node>)";

// Visits the entries of a dictionary value as (key text, value) pairs; the
// keys may be strings or object paths.
template <typename Visit> void for_each_entry(const Glib::VariantBase &dictionary, Visit visit)
{
    GVariantIter entries;
    g_variant_iter_init(&entries, const_cast<GVariant *>(dictionary.gobj()));
    while (GVariant *entry = g_variant_iter_next_value(&entries)) {
        Glib::VariantBase key(g_variant_get_child_value(entry, 0));
        Glib::VariantBase value(g_variant_get_child_value(entry, 1));
        g_variant_unref(entry);
        visit(std::string(g_variant_get_string(const_cast<GVariant *>(key.gobj()), nullptr)), value);
    }
}

PropertyMap properties_from(const Glib::VariantBase &properties)
{
    PropertyMap decoded;
    for_each_entry(properties, [&](std::string name, const Glib::VariantBase &boxed) {
        decoded.emplace(std::move(name), Glib::VariantBase(g_variant_get_variant(const_cast<GVariant *>(boxed.gobj()))));
    });
    return decoded;
}

} // namespace

ManagedObjects managed_objects_from(const Glib::VariantBase &objects)
{
    ManagedObjects decoded;
    for_each_entry(objects, [&](std::string path, const Glib::VariantBase &interfaces) {
        InterfaceMap &object = decoded[std::move(path)];
        for_each_entry(interfaces, [&](std::string name, const Glib::VariantBase &properties) {
            object.emplace(std::move(name), properties_from(properties));
        });
    });
    return decoded;
}

ObjectManagerProxy::ObjectManagerProxy(const Glib::RefPtr<Gio::DBus::Connection> &connection,
                                       const Glib::ustring &object_path)
    : proxy_(connection, object_path, interface_xml)
{
}

ManagedObjects ObjectManagerProxy::get_managed_objects() const
{
    return managed_objects_from(proxy_.call_sync("GetManagedObjects").get_child(0));
}
