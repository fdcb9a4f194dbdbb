// Descriptors of any content and length through print_descriptor: nothing may
// crash or read outside the bytes given, and the bytes given decide the
// output as the attribute read does: a read cut short can only print less
// (a prefix of the whole output), and bytes after the entry area change
// nothing.
//
// Input: the attribute value as SCardGetAttrib would return it.
#include <cstddef>
#include <cstdint>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "tests/fuzz/require.h"
#include "tools/descriptor_printer.h"

namespace {

// Printed from a buffer of exactly the given size, so that any overrun is seen.
std::string printed(std::span<const uint8_t> bytes)
{
    const std::vector<uint8_t> descriptor(bytes.begin(), bytes.end());
    std::ostringstream out;
    print_descriptor(descriptor, out);
    return out.str();
}

bool starts_with(const std::string &text, const std::string &prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    const std::span<const uint8_t> value(data, size);
    const std::string whole = printed(value);
    if (size == 0)
        return 0;

    require(starts_with(whole, printed(value.first(size - 1))));
    require(starts_with(whole, printed(value.first(size / 2))));

    const std::size_t descriptor_size = 1 + std::size_t{data[0]};
    if (size > descriptor_size)
        require(whole == printed(value.first(descriptor_size)));
    return 0;
}
