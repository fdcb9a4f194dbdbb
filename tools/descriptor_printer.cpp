#include "tools/descriptor_printer.h"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string_view>

namespace {

using Bytes = std::span<const std::uint8_t>;

constexpr std::size_t mac_address_size = 6;
constexpr std::size_t serial_number_size = 5;

// The entry area: N bytes, cut to what the attribute read returned.
Bytes entry_area(Bytes descriptor)
{
    if (descriptor.empty())
        return {};
    const std::size_t announced = descriptor[0];
    return descriptor.subspan(1, std::min(announced, descriptor.size() - 1));
}

// The field [count][count bytes] that starts at `at`, if its count byte and
// all of its bytes lie inside `bytes`. Entries, names and values are all
// laid out this way.
std::optional<Bytes> counted_field(Bytes bytes, std::size_t at)
{
    if (at >= bytes.size() || bytes[at] > bytes.size() - at - 1)
        return std::nullopt;
    return bytes.subspan(at + 1, bytes[at]);
}

// Compared over the name's own length, at most four bytes, with "MAC" and its
// terminating zero: so "", "M" and "MA" count as "MAC" too, "MACX" does not.
bool is_mac_name(Bytes name)
{
    constexpr std::uint8_t mac[] = {'M', 'A', 'C', 0};
    const std::size_t compared = std::min(name.size(), sizeof mac);
    return std::equal(name.begin(), name.begin() + compared, mac);
}

bool is_serial_name(Bytes name)
{
    constexpr std::string_view serial = "Serial";
    return name.size() >= serial.size() && std::equal(serial.begin(), serial.end(), name.begin());
}

void write_bytes(std::ostream &out, Bytes bytes)
{
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void write_hex(std::ostream &out, Bytes bytes, std::string_view separator)
{
    constexpr char digits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0)
            out << separator;
        out << digits[bytes[i] >> 4] << digits[bytes[i] & 0x0F];
    }
}

void write_value(std::ostream &out, Bytes name, Bytes value)
{
    if (is_mac_name(name)) {
        if (value.size() == mac_address_size)
            write_hex(out, value, ":");
    } else if (is_serial_name(name) && value.size() == serial_number_size) {
        write_hex(out, value, "");
    } else {
        write_bytes(out, value);
    }
}

// Prints the entry whose bytes after E are `entry`; false when it is
// malformed, and then printing ends here.
bool print_entry(Bytes entry, std::ostream &out)
{
    const auto name = counted_field(entry, 0);
    if (!name)
        return false;
    write_bytes(out, *name);
    const auto value = counted_field(entry, 1 + name->size());
    if (!value)
        return false;
    out << ':';
    write_value(out, *name, *value);
    out << '\n';
    return true;
}

} // namespace

void print_descriptor(std::span<const std::uint8_t> descriptor, std::ostream &out)
{
    Bytes rest = entry_area(descriptor);
    while (!rest.empty()) {
        const auto entry = counted_field(rest, 0);
        if (!entry || !print_entry(*entry, out))
            return;
        rest = rest.subspan(1 + entry->size());
    }
}
