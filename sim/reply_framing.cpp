#include "sim/reply_framing.h"

#include <algorithm>

namespace pemra_sim {

namespace {

// Padding length of a reply sent as more fragments than the driver's table
// holds.
constexpr std::size_t too_many_length = 300;

Bytes header_bytes(std::size_t total, std::size_t fragment_size)
{
    return {static_cast<std::uint8_t>(total & 0xFF), static_cast<std::uint8_t>(total >> 8), 0,
            static_cast<std::uint8_t>(fragment_size)};
}

Bytes notification(std::size_t index, const std::uint8_t *data, std::size_t size)
{
    Bytes value{static_cast<std::uint8_t>(index & 0xFF)};
    value.insert(value.end(), data, data + size);
    return value;
}

// Cuts `stream` into notifications of `first` bytes, then of `size` bytes.
std::vector<Bytes> cut(const Bytes &stream, std::size_t first, std::size_t size)
{
    std::vector<Bytes> notifications;
    for (std::size_t offset = 0; offset < stream.size();) {
        const std::size_t piece = std::min(offset == 0 ? first : size, stream.size() - offset);
        notifications.push_back(notification(notifications.size(), stream.data() + offset, piece));
        offset += piece;
    }
    return notifications;
}

} // namespace

std::size_t max_reply_size(Framing framing, std::size_t notify_size)
{
    const std::size_t capacity = max_fragments * (notify_size - 1);
    const std::size_t limit = std::min<std::size_t>(capacity, 0xFFFF);
    return framing == Framing::Short ? limit - reply_header_size : limit;
}

FramedReply frame_reply(const Bytes &reply, Framing framing, std::size_t notify_size, const FramingFaults &faults)
{
    Bytes body = reply;
    std::size_t fragment_size = notify_size - 1;
    std::size_t carried = fragment_size;
    if (faults.too_many_fragments) {
        body.resize(std::max(body.size(), too_many_length));
        fragment_size = carried = 1;
    }
    if (faults.oversized_fragments)
        fragment_size = carried - 1;

    const std::size_t header_room = framing == Framing::Short ? reply_header_size : 0;
    Bytes header = header_bytes(faults.zero_total ? 0 : body.size() + header_room,
                                faults.zero_fragment_size ? 0 : fragment_size);
    if (faults.short_header)
        header.resize(reply_header_size - 1);

    FramedReply framed;
    if (framing == Framing::Long) {
        framed.header = std::move(header);
        framed.notifications = cut(body, carried, carried);
        return framed;
    }
    // The first notification carries the whole header, whatever the fragment
    // size says; a cut header comes alone.
    Bytes stream = header;
    stream.insert(stream.end(), body.begin(), body.end());
    const std::size_t first = faults.short_header ? header.size() : std::max(carried, header.size());
    framed.notifications = cut(stream, first, carried);
    return framed;
}

} // namespace pemra_sim
