#include "tunnel/characteristic_discovery.h"

#include <string_view>

#include "common/diagnostics.h"

namespace {

constexpr char characteristic_interface[] = "org.bluez.GattCharacteristic1";
constexpr std::string_view number_prefix = "0000000";
constexpr std::string_view number_digits = "0123456789abcdef";

// The text of an "s" or "o" property, if the object has one.
std::optional<std::string> text_property(const PropertyMap &properties, const std::string &name)
{
    const auto found = properties.find(name);
    if (found == properties.end())
        return std::nullopt;
    const Glib::VariantBase &value = found->second;
    if (!value.is_of_type(Glib::VARIANT_TYPE_STRING) && !value.is_of_type(Glib::VARIANT_TYPE_OBJECT_PATH))
        return std::nullopt;
    return std::string(g_variant_get_string(const_cast<GVariant *>(value.gobj()), nullptr));
}

// The digit after the prefix: 0 to 15, or -1 for anything else (capitals
// included, which BlueZ never shows).
int characteristic_number(const std::string &uuid)
{
    const auto position = number_digits.find(uuid[number_prefix.size()]);
    return position == std::string_view::npos ? -1 : static_cast<int>(position);
}

} // namespace

CharacteristicPaths discover_characteristics(const ManagedObjects &obj_list, const std::string &service_path)
{
    CharacteristicPaths paths;
    for (const auto &[path, interfaces] : obj_list) {
        const auto characteristic = interfaces.find(characteristic_interface);
        if (characteristic == interfaces.end())
            continue;
        if (text_property(characteristic->second, "Service") != service_path)
            continue;
        const auto uuid = text_property(characteristic->second, "UUID");
        if (!uuid || !uuid->starts_with(number_prefix) || uuid->size() <= number_prefix.size())
            continue;
        const int number = characteristic_number(*uuid);
        print_out("char %d %s\n", number, path.c_str());
        if (number >= 0 && number < characteristic_slots)
            paths[static_cast<std::size_t>(number)] = path;
    }
    return paths;
}
