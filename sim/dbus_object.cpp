#include "sim/dbus_object.h"

#include <stdexcept>

#include <giomm/dbuserror.h>
#include <giomm/dbusinterfacevtable.h>

#include "sim/interfaces.h"

namespace pemra_sim {

struct ExportedObject::Interface {
    Glib::ustring name;
    PropertyMap properties;
    MethodHandler handler;
    // GDBus keeps a pointer to the table for as long as the registration lives.
    std::unique_ptr<Gio::DBus::InterfaceVTable> vtable;
    guint registration = 0;
};

ExportedObject::ExportedObject(Glib::RefPtr<Gio::DBus::Connection> connection, Glib::ustring path)
    : connection_(std::move(connection)), path_(std::move(path))
{
}

ExportedObject::~ExportedObject()
{
    for (auto &[name, interface] : interfaces_)
        connection_->unregister_object(interface->registration);
}

void ExportedObject::add_interface(const Glib::RefPtr<Gio::DBus::InterfaceInfo> &info, PropertyMap properties,
                                   MethodHandler handler)
{
    auto interface = std::make_unique<Interface>();
    // giomm does not wrap the name of an interface description.
    interface->name = info->gobj()->name;
    interface->properties = std::move(properties);
    interface->handler = std::move(handler);
    Interface *self = interface.get();

    auto on_call = [self](const Glib::RefPtr<Gio::DBus::Connection> &, const Glib::ustring &,
                          const Glib::ustring &, const Glib::ustring &, const Glib::ustring &method,
                          const Glib::VariantContainerBase &args, const Invocation &invocation) {
        if (self->handler)
            self->handler(method, args, invocation);
        else
            invocation->return_dbus_error("org.freedesktop.DBus.Error.UnknownMethod", "Unknown method");
    };
    auto on_get = [self](Glib::VariantBase &value, const Glib::RefPtr<Gio::DBus::Connection> &,
                         const Glib::ustring &, const Glib::ustring &, const Glib::ustring &,
                         const Glib::ustring &name) {
        const auto found = self->properties.find(name);
        if (found == self->properties.end())
            throw Gio::DBus::Error(Gio::DBus::Error::INVALID_ARGS, "No such property " + name);
        value = found->second;
    };
    auto on_set = [this, self](const Glib::RefPtr<Gio::DBus::Connection> &, const Glib::ustring &,
                               const Glib::ustring &, const Glib::ustring &, const Glib::ustring &name,
                               const Glib::VariantBase &value) {
        set_properties(self->name, {{name, value}});
        return true;
    };
    interface->vtable = std::make_unique<Gio::DBus::InterfaceVTable>(on_call, on_get, on_set);
    interface->registration = connection_->register_object(path_, info, *interface->vtable);
    const Glib::ustring name = interface->name;
    interfaces_[name] = std::move(interface);
}

ExportedObject::Interface &ExportedObject::find(const Glib::ustring &interface) const
{
    const auto found = interfaces_.find(interface);
    if (found == interfaces_.end())
        throw std::out_of_range(path_ + " has no interface " + interface);
    return *found->second;
}

void ExportedObject::set_properties(const Glib::ustring &interface, const PropertyMap &changes)
{
    Interface &target = find(interface);
    PropertyMap changed;
    for (const auto &[name, value] : changes) {
        auto &stored = target.properties[name];
        if (stored.gobj() && stored.equal(value))
            continue;
        stored = value;
        changed.emplace(name, value);
    }
    if (!changed.empty())
        emit_changed(interface, changed);
}

void ExportedObject::notify_properties(const Glib::ustring &interface, const PropertyMap &values)
{
    store_properties(interface, values);
    emit_changed(interface, values);
}

void ExportedObject::store_properties(const Glib::ustring &interface, const PropertyMap &values)
{
    Interface &target = find(interface);
    for (const auto &[name, value] : values)
        target.properties[name] = value;
}

void ExportedObject::emit_changed(const Glib::ustring &interface, const PropertyMap &changed)
{
    const auto args = tuple({variant_string(interface), Glib::Variant<PropertyMap>::create(changed),
                             variant_strings({})});
    connection_->emit_signal(path_, iface::properties, "PropertiesChanged", {}, args);
}

const Glib::VariantBase &ExportedObject::property(const Glib::ustring &interface, const Glib::ustring &name) const
{
    const Interface &source = find(interface);
    const auto found = source.properties.find(name);
    if (found == source.properties.end())
        throw std::out_of_range(path_ + " has no property " + name);
    return found->second;
}

InterfaceMap ExportedObject::interfaces() const
{
    InterfaceMap result;
    for (const auto &[name, interface] : interfaces_)
        result.emplace(name, interface->properties);
    return result;
}

std::vector<Glib::ustring> ExportedObject::interface_names() const
{
    std::vector<Glib::ustring> names;
    for (const auto &entry : interfaces_)
        names.push_back(entry.first);
    return names;
}

} // namespace pemra_sim
