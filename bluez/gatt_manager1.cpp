#include "bluez/gatt_manager1.h"

#include "bluez/variants.h"

namespace {

constexpr char interface_xml[] = R"(<node>
  <interface name="org.bluez.GattManager1">
    <method name="RegisterApplication">
      <arg name="application" type="o" direction="in"/>
      <arg name="options" type="a{sv}" direction="in"/>
    </method>
    <method name="UnregisterApplication">
      <arg name="application" type="o" direction="in"/>
    </method>
  </interface>
</node>)";

} // namespace

GattManager1::GattManager1(const Glib::RefPtr<Gio::DBus::Connection> &connection,
                           const Glib::ustring &adapter_path)
    : proxy_(connection, adapter_path, interface_xml)
{
}

void GattManager1::register_application(const Glib::ustring &application_path, RegisterCompletion done)
{
    proxy_.call_async("RegisterApplication",
                      variants::tuple({Glib::Variant<Glib::DBusObjectPathString>::create(
                                           Glib::DBusObjectPathString(application_path)),
                                       variants::empty_options()}),
                      [done = std::move(done)](const Glib::Error *error, Glib::VariantContainerBase) { done(error); });
}
