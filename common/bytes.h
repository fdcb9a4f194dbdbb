#pragma once

#include <cstdint>
#include <vector>

// The uniform byte result of every asynchronous operation that yields data:
// an empty buffer means "no data", which the request channel turns into the
// failure byte 0xFF.
using Bytes = std::vector<std::uint8_t>;
