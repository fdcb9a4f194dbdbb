#pragma once

#include <glibmm/variant.h>

#include <optional>
#include <span>
#include <vector>

#include "common/bytes.h"

// Building and reading the D-Bus values that BlueZ's members take and give.
namespace variants {

Glib::VariantContainerBase tuple(const std::vector<Glib::VariantBase> &values);
// An empty a{sv} options dictionary.
Glib::VariantBase empty_options();
Glib::VariantBase byte_array(std::span<const std::uint8_t> data);

// A copy of the bytes of an "ay" value.
Bytes bytes_of(const Glib::VariantBase &value);
bool boolean_or_false(const std::optional<Glib::VariantBase> &value);
// The text of an "s" or "o" value; empty when there is none.
Glib::ustring string_or_empty(const std::optional<Glib::VariantBase> &value);

} // namespace variants
