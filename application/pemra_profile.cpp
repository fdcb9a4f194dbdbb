#include "application/pemra_profile.h"

#include "bluez/bluez_proxy.h"
#include "common/pemra_service.h"

namespace {

constexpr char interface_xml[] = R"(<node>
  <interface name="org.bluez.GattProfile1">
    <method name="Release"/>
    <property name="UUIDs" type="as" access="readwrite"/>
  </interface>
</node>)";

} // namespace

PemraProfile::PemraProfile()
    : uuids_{pemra_service_uuid},
      vtable_([this](const auto &, const auto &, const auto &, const auto &, const Glib::ustring &method,
                     const auto &, const auto &invocation) { on_method_call(method, invocation); },
              [this](Glib::VariantBase &value, const auto &, const auto &, const auto &, const auto &,
                     const Glib::ustring &name) { on_get_property(value, name); },
              [this](const auto &, const auto &, const auto &, const auto &, const Glib::ustring &name,
                     const Glib::VariantBase &value) { return on_set_property(name, value); })
{
}

guint PemraProfile::register_object(const Glib::RefPtr<Gio::DBus::Connection> &connection,
                                    const Glib::ustring &path)
{
    return connection->register_object(path, parse_interface(interface_xml), vtable_);
}

void PemraProfile::on_method_call(const Glib::ustring &method,
                                  const Glib::RefPtr<Gio::DBus::MethodInvocation> &invocation)
{
    if (method == "Release") {
        release();
        invocation->return_value(Glib::VariantContainerBase());
    }
}

void PemraProfile::on_get_property(Glib::VariantBase &value, const Glib::ustring &name) const
{
    if (name == "UUIDs")
        value = Glib::Variant<std::vector<Glib::ustring>>::create(uuids_);
}

bool PemraProfile::on_set_property(const Glib::ustring &name, const Glib::VariantBase &value)
{
    if (name != "UUIDs")
        return false;
    set_uuids(Glib::VariantBase::cast_dynamic<Glib::Variant<std::vector<Glib::ustring>>>(value).get());
    return true;
}
