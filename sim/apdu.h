// Command APDUs in the short and extended forms of ISO/IEC 7816-3/-4.
#pragma once

#include <optional>
#include <span>

#include "sim/variants.h"

namespace pemra_sim {

struct Command {
    std::uint8_t cla = 0;
    std::uint8_t ins = 0;
    std::uint8_t p1 = 0;
    std::uint8_t p2 = 0;
    Bytes data;
    std::optional<std::size_t> le; // Ne, 1 to 65536; absent when no data is expected
};

// Cases 1, 2S, 3S, 4S, 2E, 3E and 4E; nothing for any other byte string.
std::optional<Command> parse_command(std::span<const std::uint8_t> apdu);

// Status words the card answers.
namespace sw {
inline constexpr std::uint16_t ok = 0x9000;
inline constexpr std::uint16_t end_of_file = 0x6282;
inline constexpr std::uint16_t retries_left = 0x63C0; // | remaining tries
inline constexpr std::uint16_t wrong_length = 0x6700;
inline constexpr std::uint16_t incompatible_file = 0x6981;
inline constexpr std::uint16_t security_not_satisfied = 0x6982;
inline constexpr std::uint16_t blocked = 0x6983;
inline constexpr std::uint16_t no_current_ef = 0x6986;
inline constexpr std::uint16_t function_not_supported = 0x6A81;
inline constexpr std::uint16_t not_found = 0x6A82;
inline constexpr std::uint16_t wrong_p1p2 = 0x6A86;
inline constexpr std::uint16_t reference_not_found = 0x6A88;
inline constexpr std::uint16_t wrong_offset = 0x6B00;
inline constexpr std::uint16_t ins_not_supported = 0x6D00;
inline constexpr std::uint16_t cla_not_supported = 0x6E00;
} // namespace sw

} // namespace pemra_sim
