// Small helpers between C++ values and the GVariants of the BlueZ API.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include <glibmm/variant.h>

namespace pemra_sim {

using Bytes = std::vector<std::uint8_t>;
using PropertyMap = std::map<Glib::ustring, Glib::VariantBase>;

inline Glib::VariantBase variant_bool(bool value) { return Glib::Variant<bool>::create(value); }
inline Glib::VariantBase variant_string(const Glib::ustring &value) { return Glib::Variant<Glib::ustring>::create(value); }
inline Glib::VariantBase variant_path(const Glib::ustring &path)
{
    return Glib::Variant<Glib::DBusObjectPathString>::create(Glib::DBusObjectPathString(path));
}
inline Glib::VariantBase variant_bytes(const Bytes &value) { return Glib::Variant<Bytes>::create(value); }
inline Glib::VariantBase variant_strings(const std::vector<Glib::ustring> &value)
{
    return Glib::Variant<std::vector<Glib::ustring>>::create(value);
}

// Child `index` of a method's argument tuple, as a C++ value.
template <typename T>
T argument(const Glib::VariantContainerBase &args, std::size_t index)
{
    Glib::VariantBase child;
    args.get_child(child, index);
    return Glib::VariantBase::cast_dynamic<Glib::Variant<T>>(child).get();
}

// The value of `name` among `values`, if it is there with type T.
template <typename T>
std::optional<T> value_of(const PropertyMap &values, const Glib::ustring &name)
{
    const auto found = values.find(name);
    if (found == values.end() || !found->second.is_of_type(Glib::Variant<T>::variant_type()))
        return std::nullopt;
    return Glib::VariantBase::cast_dynamic<Glib::Variant<T>>(found->second).get();
}

inline Glib::VariantContainerBase tuple(const std::vector<Glib::VariantBase> &children)
{
    return Glib::VariantContainerBase::create_tuple(children);
}

} // namespace pemra_sim
