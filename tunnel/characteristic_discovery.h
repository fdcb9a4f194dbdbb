#pragma once

#include <array>
#include <optional>
#include <string>

#include "bluez/object_manager_proxy.h"

// The Pemra service's characteristics are numbered by their UUID: "0000000"
// and one lowercase hexadecimal digit. Numbers 0 to 9 have a slot; 1 to 4
// and 7 to 9 carry the tunnel, 5 and 6 are unused.
inline constexpr int characteristic_slots = 10;

using CharacteristicPaths = std::array<std::optional<std::string>, characteristic_slots>;

// The object paths of the service's numbered characteristics, by number;
// the last one visited wins a number. Prints "char N path" for every
// candidate, numbers that get no slot included.
CharacteristicPaths discover_characteristics(const ManagedObjects &obj_list, const std::string &service_path);
