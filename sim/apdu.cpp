#include "sim/apdu.h"

namespace pemra_sim {

namespace {

constexpr std::size_t header_size = 4;

std::size_t short_length(std::uint8_t byte) { return byte == 0 ? 256 : byte; }

std::size_t extended_length(std::uint8_t high, std::uint8_t low)
{
    const std::size_t value = (std::size_t{high} << 8) | low;
    return value == 0 ? 65536 : value;
}

std::optional<Command> with_body(Command command, std::span<const std::uint8_t> body)
{
    const std::size_t size = body.size();
    if (size == 0)
        return command;
    if (size == 1) {
        command.le = short_length(body[0]);
        return command;
    }
    if (body[0] != 0) {
        const std::size_t lc = body[0];
        if (size != 1 + lc && size != 2 + lc)
            return std::nullopt;
        command.data.assign(body.begin() + 1, body.begin() + 1 + static_cast<long>(lc));
        if (size == 2 + lc)
            command.le = short_length(body.back());
        return command;
    }
    if (size < 3)
        return std::nullopt;
    if (size == 3) {
        command.le = extended_length(body[1], body[2]);
        return command;
    }
    const std::size_t lc = (std::size_t{body[1]} << 8) | body[2];
    if (lc == 0 || (size != 3 + lc && size != 5 + lc))
        return std::nullopt;
    command.data.assign(body.begin() + 3, body.begin() + 3 + static_cast<long>(lc));
    if (size == 5 + lc)
        command.le = extended_length(body[size - 2], body[size - 1]);
    return command;
}

} // namespace

std::optional<Command> parse_command(std::span<const std::uint8_t> apdu)
{
    if (apdu.size() < header_size)
        return std::nullopt;
    const Command command{apdu[0], apdu[1], apdu[2], apdu[3], {}, std::nullopt};
    return with_body(command, apdu.subspan(header_size));
}

} // namespace pemra_sim
