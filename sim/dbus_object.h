// One object exported on the bus with the interfaces and property values it
// carries. Properties are answered by GDBus through org.freedesktop.DBus.
// Properties (Get, GetAll, Set); changes are announced with PropertiesChanged.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <vector>

#include <giomm/dbusconnection.h>
#include <giomm/dbusintrospection.h>
#include <giomm/dbusmethodinvocation.h>

#include "sim/variants.h"

namespace pemra_sim {

using Invocation = Glib::RefPtr<Gio::DBus::MethodInvocation>;
using MethodHandler = std::function<void(const Glib::ustring &method, const Glib::VariantContainerBase &args,
                                         const Invocation &invocation)>;
using InterfaceMap = std::map<Glib::ustring, PropertyMap>;

class ExportedObject {
public:
    ExportedObject(Glib::RefPtr<Gio::DBus::Connection> connection, Glib::ustring path);
    ~ExportedObject();
    ExportedObject(const ExportedObject &) = delete;
    ExportedObject &operator=(const ExportedObject &) = delete;

    const Glib::ustring &path() const { return path_; }

    // Exports one more interface at once with the values of `properties`;
    // a property it lacks is absent (GetAll leaves it out).
    void add_interface(const Glib::RefPtr<Gio::DBus::InterfaceInfo> &info, PropertyMap properties,
                       MethodHandler handler = {});

    // Stores the values and announces those that differ from the stored
    // ones in one PropertiesChanged signal.
    void set_properties(const Glib::ustring &interface, const PropertyMap &changes);
    // Stores and announces every value, changed or not: a notification.
    void notify_properties(const Glib::ustring &interface, const PropertyMap &values);
    // Stores the values without announcing them.
    void store_properties(const Glib::ustring &interface, const PropertyMap &values);

    const Glib::VariantBase &property(const Glib::ustring &interface, const Glib::ustring &name) const;
    // A value of another type (set through the control interface to test
    // the host) reads as T's empty value: false, 0, no bytes.
    template <typename T>
    T get(const Glib::ustring &interface, const Glib::ustring &name) const
    {
        const Glib::VariantBase &value = property(interface, name);
        if (!value.is_of_type(Glib::Variant<T>::variant_type()))
            return T{};
        return Glib::VariantBase::cast_dynamic<Glib::Variant<T>>(value).get();
    }

    InterfaceMap interfaces() const;
    std::vector<Glib::ustring> interface_names() const;

private:
    struct Interface;
    Interface &find(const Glib::ustring &interface) const;
    void emit_changed(const Glib::ustring &interface, const PropertyMap &changed);

    Glib::RefPtr<Gio::DBus::Connection> connection_;
    Glib::ustring path_;
    std::map<Glib::ustring, std::unique_ptr<Interface>> interfaces_;
};

} // namespace pemra_sim
