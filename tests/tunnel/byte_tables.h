#pragma once

#include <cstdint>
#include <string>

#include "common/bytes.h"

// Bytes from hex text such as "2C 01 00 14"; spaces are ignored.
inline Bytes hex(const std::string &text)
{
    Bytes bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == ' ')
            continue;
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
        ++i;
    }
    return bytes;
}

// n bytes counting up from `from` (mod 256): what the stand-in's
// plain-reply-bytes switch makes the reader answer, from 0.
inline Bytes counting(std::size_t n, std::uint8_t from = 0)
{
    Bytes bytes(n);
    for (std::size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<std::uint8_t>(from + i);
    return bytes;
}
