#include "application/pemra_profile_manager.h"

#include <cstdio>
#include <map>

#include "application/application_paths.h"
#include "bluez/bluez_proxy.h"
#include "common/pemra_service.h"

namespace {

constexpr char interface_xml[] = R"(<node>
  <interface name="org.freedesktop.DBus.ObjectManager">
    <method name="GetManagedObjects">
      <arg name="result" type="a{oa{sa{sv}}}" direction="out"/>
    </method>
  </interface>
</node>)";

using Properties = std::map<Glib::ustring, Glib::VariantBase>;
using Interfaces = std::map<Glib::ustring, Properties>;
using Objects = std::map<Glib::DBusObjectPathString, Interfaces>;

} // namespace

PemraProfileManager::PemraProfileManager()
    : vtable_([this](const auto &, const auto &, const auto &, const auto &, const Glib::ustring &method,
                     const auto &, const Glib::RefPtr<Gio::DBus::MethodInvocation> &invocation) {
          if (method == "GetManagedObjects")
              invocation->return_value(get_managed_objects());
      })
{
}

guint PemraProfileManager::register_object(const Glib::RefPtr<Gio::DBus::Connection> &connection,
                                           const Glib::ustring &path)
{
    return connection->register_object(path, parse_interface(interface_xml), vtable_);
}

Glib::VariantContainerBase PemraProfileManager::get_managed_objects() const
{
    std::fprintf(stderr, "profile added\n");
    // Built anew each time; a UUID list set on the profile is not reflected.
    std::vector<Glib::ustring> uuids = {pemra_service_uuid};
    Objects objects = {{Glib::DBusObjectPathString(profile_path),
                        {{"org.bluez.GattProfile1",
                          {{"UUIDs", Glib::Variant<std::vector<Glib::ustring>>::create(uuids)}}}}}};
    return Glib::VariantContainerBase::create_tuple(Glib::Variant<Objects>::create(objects));
}
