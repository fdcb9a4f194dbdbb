#include "sim/card.h"

#include <algorithm>
#include <array>

#include <openssl/rand.h>

namespace pemra_sim {

namespace {

constexpr std::uint8_t cla_iso = 0x00;
constexpr std::uint8_t cla_proprietary = 0x80;
constexpr std::uint8_t ins_select = 0xA4;
constexpr std::uint8_t ins_read_binary = 0xB0;
constexpr std::uint8_t ins_get_challenge = 0x84;
constexpr std::uint8_t ins_verify = 0x20;
constexpr std::uint8_t ins_echo = 0xEE;

constexpr std::uint8_t pin_reference = 0x81;
constexpr std::uint16_t mf_id = 0x3F00;
constexpr std::size_t sw_size = 2;

constexpr std::array<std::uint8_t, 6> pin{'1', '2', '3', '4', '5', '6'};
constexpr std::array<std::uint8_t, 9> application_aid{0xF0, 0x50, 0x45, 0x4D, 0x52, 0x41, 0x53, 0x49, 0x4D};

Bytes counting(std::size_t size)
{
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(i & 0xFF);
    return bytes;
}

Bytes text(std::string_view value) { return Bytes(value.begin(), value.end()); }

Bytes tlv(std::uint8_t tag, const Bytes &value)
{
    Bytes out{tag, static_cast<std::uint8_t>(value.size())};
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

Bytes two_bytes(std::size_t value)
{
    return {static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value & 0xFF)};
}

} // namespace

Bytes status_word(std::uint16_t status) { return two_bytes(status); }

Card::Card(std::size_t max_response) : max_response_(max_response)
{
    const Bytes aid(application_aid.begin(), application_aid.end());
    Bytes dir = tlv(0x4F, aid);
    const Bytes label = tlv(0x50, text("SIM"));
    dir.insert(dir.end(), label.begin(), label.end());
    files_ = {
        {mf_id, std::nullopt, true, {}, {}, false},
        {0x2F00, 0, false, {}, tlv(0x61, dir), false},
        {0x5000, 0, true, aid, {}, false},
        {0x5001, 2, false, {}, counting(300), false},
        {0x5002, 2, false, {}, text("PIN-protected data"), true},
    };
}

Bytes Card::atr() const
{
    // T=0 and T=1 offered, 8 historical bytes "PemraSim", check byte last.
    Bytes atr{0x3B, 0x88, 0x80, 0x01, 'P', 'e', 'm', 'r', 'a', 'S', 'i', 'm'};
    std::uint8_t check = 0;
    for (std::size_t i = 1; i < atr.size(); ++i)
        check ^= atr[i];
    atr.push_back(check);
    return atr;
}

void Card::reset()
{
    current_df_ = 0;
    current_ef_.reset();
    verified_ = false;
}

Bytes Card::power_on()
{
    reset();
    return atr();
}

Bytes Card::process(std::span<const std::uint8_t> apdu)
{
    const auto command = parse_command(apdu);
    if (!command)
        return status_word(sw::wrong_length);
    if (command->cla == cla_proprietary)
        return command->ins == ins_echo ? echo(*command) : status_word(sw::ins_not_supported);
    if (command->cla != cla_iso)
        return status_word(sw::cla_not_supported);
    switch (command->ins) {
    case ins_select:
        return select(*command);
    case ins_read_binary:
        return read_binary(*command);
    case ins_get_challenge:
        return get_challenge(*command);
    case ins_verify:
        return verify(*command);
    default:
        return status_word(sw::ins_not_supported);
    }
}

Bytes Card::answer(Bytes data, std::uint16_t status) const
{
    if (data.size() + sw_size > max_response_)
        return status_word(sw::wrong_length);
    const Bytes tail = status_word(status);
    data.insert(data.end(), tail.begin(), tail.end());
    return data;
}

std::optional<std::size_t> Card::find_child(std::size_t folder, std::uint16_t id) const
{
    for (std::size_t i = 0; i < files_.size(); ++i) {
        if (files_[i].parent == folder && files_[i].id == id)
            return i;
    }
    return std::nullopt;
}

// A file id names the MF, a file in the current DF, or one in the MF.
std::optional<std::size_t> Card::find_by_id(std::uint16_t id) const
{
    if (id == mf_id)
        return 0;
    if (auto here = find_child(current_df_, id))
        return here;
    return find_child(0, id);
}

std::optional<std::size_t> Card::find_by_name(const Bytes &name) const
{
    for (std::size_t i = 0; i < files_.size(); ++i) {
        if (files_[i].dedicated && !files_[i].name.empty() && files_[i].name == name)
            return i;
    }
    return std::nullopt;
}

// FCP (P2 04) or FCI (P2 00): descriptor byte, file id, and the size of an
// EF or the name of a DF.
Bytes Card::describe(std::size_t index, std::uint8_t p2) const
{
    const File &file = files_[index];
    Bytes body = tlv(0x82, {static_cast<std::uint8_t>(file.dedicated ? 0x38 : 0x01)});
    const Bytes id = tlv(0x83, two_bytes(file.id));
    const Bytes extra = file.dedicated ? tlv(0x84, file.name) : tlv(0x80, two_bytes(file.content.size()));
    body.insert(body.end(), id.begin(), id.end());
    body.insert(body.end(), extra.begin(), extra.end());
    return tlv(p2 == 0x04 ? 0x62 : 0x6F, body);
}

Bytes Card::select(const Command &command)
{
    if (command.p2 != 0x00 && command.p2 != 0x04 && command.p2 != 0x0C)
        return status_word(sw::wrong_p1p2);
    std::optional<std::size_t> found;
    if (command.p1 == 0x04) {
        if (command.data.empty())
            return status_word(sw::wrong_length);
        found = find_by_name(command.data);
    } else if (command.p1 <= 0x02) {
        if (command.data.size() != 2)
            return status_word(sw::wrong_length);
        found = find_by_id(static_cast<std::uint16_t>(command.data[0] << 8 | command.data[1]));
    } else {
        return status_word(sw::wrong_p1p2);
    }
    if (!found)
        return status_word(sw::not_found);

    if (files_[*found].dedicated) {
        current_df_ = *found;
        current_ef_.reset();
    } else {
        current_df_ = *files_[*found].parent;
        current_ef_ = found;
    }
    return command.p2 == 0x0C ? status_word(sw::ok) : answer(describe(*found, command.p2), sw::ok);
}

Bytes Card::read_binary(const Command &command)
{
    if (command.p1 & 0x80)
        return status_word(sw::function_not_supported);
    if (!command.data.empty() || !command.le)
        return status_word(sw::wrong_length);
    if (!current_ef_)
        return status_word(sw::no_current_ef);
    const File &file = files_[*current_ef_];
    if (file.needs_pin && !verified_)
        return status_word(sw::security_not_satisfied);
    const std::size_t offset = std::size_t{command.p1} << 8 | command.p2;
    if (offset >= file.content.size())
        return status_word(sw::wrong_offset);
    const std::size_t count = std::min(*command.le, file.content.size() - offset);
    const auto first = file.content.begin() + static_cast<long>(offset);
    return answer(Bytes(first, first + static_cast<long>(count)), count < *command.le ? sw::end_of_file : sw::ok);
}

Bytes Card::get_challenge(const Command &command)
{
    if (command.p1 != 0 || command.p2 != 0)
        return status_word(sw::wrong_p1p2);
    if (!command.data.empty() || !command.le || *command.le + sw_size > max_response_)
        return status_word(sw::wrong_length);
    Bytes challenge(*command.le);
    RAND_bytes(challenge.data(), static_cast<int>(challenge.size()));
    return answer(std::move(challenge), sw::ok);
}

Bytes Card::verify(const Command &command)
{
    if (command.p1 != 0)
        return status_word(sw::wrong_p1p2);
    if (command.p2 != pin_reference)
        return status_word(sw::reference_not_found);
    if (tries_left_ == 0)
        return status_word(sw::blocked);
    if (command.data.empty())
        return status_word(verified_ ? sw::ok : static_cast<std::uint16_t>(sw::retries_left | tries_left_));
    if (std::ranges::equal(command.data, pin)) {
        verified_ = true;
        tries_left_ = pin_tries;
        return status_word(sw::ok);
    }
    verified_ = false;
    --tries_left_;
    return status_word(tries_left_ == 0 ? sw::blocked : static_cast<std::uint16_t>(sw::retries_left | tries_left_));
}

Bytes Card::echo(const Command &command)
{
    if (command.p1 != 0 || command.p2 != 0)
        return status_word(sw::wrong_p1p2);
    if (command.data.empty() && !command.le)
        return status_word(sw::wrong_length);
    return answer(command.data.empty() ? counting(*command.le) : command.data, sw::ok);
}

} // namespace pemra_sim
