#pragma once

#include <map>
#include <string>

#include "bluez/bluez_proxy.h"

// BlueZ's object tree: object path → interface name → property name → value
// (the content of each "v", unwrapped).
using PropertyMap = std::map<std::string, Glib::VariantBase>;
using InterfaceMap = std::map<std::string, PropertyMap>;
using ManagedObjects = std::map<std::string, InterfaceMap>;

// Client of org.freedesktop.DBus.ObjectManager on BlueZ's root object.
class ObjectManagerProxy {
public:
    // Throws Glib::Error when the proxy cannot be made.
    ObjectManagerProxy(const Glib::RefPtr<Gio::DBus::Connection> &connection, const Glib::ustring &object_path);

    // Blocks until BlueZ answers; throws Glib::Error on failure.
    ManagedObjects get_managed_objects() const;

private:
    BluezProxy proxy_;
};

// Decodes an a{oa{sa{sv}}} dictionary.
ManagedObjects managed_objects_from(const Glib::VariantBase &objects);
