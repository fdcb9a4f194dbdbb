#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The long-term key agreed with one reader, kept across sessions in a file
// named after the reader's Bluetooth address in the key directory.
using LongTermKey = std::array<std::uint8_t, 32>;

// XX:XX:XX:XX:XX:XX with hexadecimal digits. Only such an address names a
// key file: the address comes from the bus and must never become a path
// outside the key directory.
bool is_bluetooth_address(std::string_view address);

// The key file of a reader, if its address is a Bluetooth address.
std::optional<std::string> ltk_path(std::string_view address);

// The key, if the file holds at least 32 bytes (only the first 32 count).
std::optional<LongTermKey> read_ltk(const std::string &path);

// Replaces the file with the key, never leaving a short or empty file behind:
// a temporary file in the same directory (0600) is written, synced and
// renamed over it. The directory is made (0700) when missing. Failures are
// silent: the key then lives for this session only.
void save_ltk(const std::string &path, const LongTermKey &key);
