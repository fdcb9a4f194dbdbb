#include "bluez/variants.h"

namespace {

// The C accessors take non-const pointers but do not modify the value.
GVariant *raw(const Glib::VariantBase &value)
{
    return const_cast<GVariant *>(value.gobj());
}

} // namespace

namespace variants {

Glib::VariantContainerBase tuple(const std::vector<Glib::VariantBase> &values)
{
    return Glib::VariantContainerBase::create_tuple(values);
}

// GLib's own call: glibmm's Variant<std::map>::create keeps its type in a
// static that the process's exit destroys while the worker may still write.
Glib::VariantBase empty_options()
{
    return Glib::VariantBase(g_variant_ref_sink(g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0)));
}

Glib::VariantBase byte_array(std::span<const std::uint8_t> data)
{
    // The wrapper owns one reference: sink the new value's floating one, or
    // the tuple it goes into would take that reference from under it.
    return Glib::VariantBase(g_variant_ref_sink(
        g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, data.data(), data.size(), sizeof(std::uint8_t))));
}

Bytes bytes_of(const Glib::VariantBase &value)
{
    gsize length = 0;
    const auto *data =
        static_cast<const std::uint8_t *>(g_variant_get_fixed_array(raw(value), &length, sizeof(std::uint8_t)));
    return Bytes(data, data + length);
}

bool boolean_or_false(const std::optional<Glib::VariantBase> &value)
{
    return value && g_variant_get_boolean(raw(*value));
}

Glib::ustring string_or_empty(const std::optional<Glib::VariantBase> &value)
{
    return value ? Glib::ustring(g_variant_get_string(raw(*value), nullptr)) : Glib::ustring();
}

} // namespace variants
