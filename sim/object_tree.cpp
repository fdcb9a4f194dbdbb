#include "sim/object_tree.h"

#include <stdexcept>

#include "sim/bus_name.h"
#include "sim/faults.h"
#include "sim/interfaces.h"

namespace pemra_sim {

namespace {

using ManagedObjects = std::map<Glib::DBusObjectPathString, InterfaceMap>;

// BlueZ lists the two standard interfaces of every object, without
// properties, beside its own ones.
const std::vector<Glib::ustring> standard_interfaces{iface::introspectable, iface::properties};

} // namespace

ObjectTree::ObjectTree(const Glib::RefPtr<Gio::DBus::Connection> &connection, const InterfaceCatalog &catalog,
                       Faults &faults, BusName &name)
    : connection_(connection), faults_(faults), name_(name), root_(connection, "/")
{
    root_.add_interface(catalog.get(iface::object_manager), {},
                        [this](const Glib::ustring &, const Glib::VariantContainerBase &,
                               const Invocation &invocation) { answer_managed_objects(invocation); });
}

void ObjectTree::answer_managed_objects(const Invocation &invocation)
{
    if (faults_.take(Fault::ManagedObjectsError))
        return invocation->return_dbus_error(bluez_error::failed, "Objects unavailable");
    if (faults_.take(Fault::ManagedObjectsWrongType)) {
        // GDBus would check a return value against the method's description:
        // the reply goes out as a message of its own.
        auto reply = Gio::DBus::Message::create_method_reply(invocation->get_message());
        reply->set_body(tuple({variant_string("no objects")}));
        connection_->send_message(reply);
        return;
    }
    if (const auto gap = faults_.take_parameter(Fault::NameGapMs); gap && *gap > 0)
        name_.release_for(std::chrono::milliseconds(*gap));
    invocation->return_value(managed_objects());
}

InterfaceMap ObjectTree::interfaces_of(const ExportedObject &object) const
{
    InterfaceMap interfaces = object.interfaces();
    for (const auto &name : standard_interfaces)
        interfaces.emplace(name, PropertyMap{});
    return interfaces;
}

void ObjectTree::add(ExportedObject &object)
{
    objects_[object.path()] = &object;
    emit("InterfacesAdded", tuple({variant_path(object.path()),
                                   Glib::Variant<InterfaceMap>::create(interfaces_of(object))}));
}

void ObjectTree::remove(const ExportedObject &object)
{
    if (objects_.erase(object.path()) == 0)
        return;
    auto names = object.interface_names();
    names.insert(names.end(), standard_interfaces.begin(), standard_interfaces.end());
    emit("InterfacesRemoved", tuple({variant_path(object.path()), variant_strings(names)}));
}

ExportedObject &ObjectTree::object(const Glib::ustring &path) const
{
    const auto found = objects_.find(path);
    if (found == objects_.end())
        throw std::out_of_range("no object " + path);
    return *found->second;
}

Glib::VariantContainerBase ObjectTree::managed_objects() const
{
    ManagedObjects objects;
    for (const auto &[path, object] : objects_)
        objects.emplace(Glib::DBusObjectPathString(path), interfaces_of(*object));
    return tuple({Glib::Variant<ManagedObjects>::create(objects)});
}

void ObjectTree::emit(const Glib::ustring &signal, const Glib::VariantContainerBase &args)
{
    connection_->emit_signal("/", iface::object_manager, signal, {}, args);
}

} // namespace pemra_sim
