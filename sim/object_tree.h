// BlueZ's object manager at "/": the tree of adapters, devices, services and
// characteristics, answered by GetManagedObjects and announced with
// InterfacesAdded and InterfacesRemoved as objects come and go.
#pragma once

#include <map>

#include "sim/dbus_object.h"

namespace pemra_sim {

class InterfaceCatalog;
class Faults;
class BusName;

class ObjectTree {
public:
    // `faults`: BlueZ's own, which may spoil the answers to GetManagedObjects
    // or give up `name` before one.
    ObjectTree(const Glib::RefPtr<Gio::DBus::Connection> &connection, const InterfaceCatalog &catalog,
               Faults &faults, BusName &name);

    // The object stays owned by the caller, who removes it before it goes.
    void add(ExportedObject &object);
    void remove(const ExportedObject &object);
    // The object at `path`, for changes made through the control interface.
    ExportedObject &object(const Glib::ustring &path) const;

    InterfaceMap interfaces_of(const ExportedObject &object) const;
    Glib::VariantContainerBase managed_objects() const;

private:
    void answer_managed_objects(const Invocation &invocation);
    void emit(const Glib::ustring &signal, const Glib::VariantContainerBase &args);

    Glib::RefPtr<Gio::DBus::Connection> connection_;
    Faults &faults_;
    BusName &name_;
    ExportedObject root_;
    std::map<Glib::ustring, ExportedObject *> objects_;
};

} // namespace pemra_sim
