// Hex strings to bytes, for the reference vectors of the tests.
#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string_view>
#include <vector>

inline std::vector<uint8_t> from_hex(std::string_view hex)
{
    if (hex.size() % 2 != 0)
        throw std::invalid_argument("odd hex length");
    const auto nibble = [](char c) -> uint8_t {
        if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
        if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
        throw std::invalid_argument("not a lower-case hex digit");
    };
    std::vector<uint8_t> bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(nibble(hex[i]) << 4 | nibble(hex[i + 1])));
    return bytes;
}

template <std::size_t N>
std::array<uint8_t, N> hex_array(std::string_view hex)
{
    const std::vector<uint8_t> bytes = from_hex(hex);
    if (bytes.size() != N)
        throw std::invalid_argument("hex string of the wrong length");
    std::array<uint8_t, N> out{};
    std::copy(bytes.begin(), bytes.end(), out.begin());
    return out;
}
