// How the reader cuts a reply into notifications on characteristic 4.
//
// Reply header, 4 bytes: total length (little-endian, 2 bytes), one reserved
// byte sent as 0, the fragment size. The fragment size is the notification
// size less the one prefix byte that every notification carries; the prefix
// is the fragment's index (modulo 256).
//
// Short framing (request on characteristic 7): the header travels at the
// start of the first fragment and its total counts the header's 4 bytes.
// Long framing (request on characteristics 1 and 2): the header is the
// value of characteristic 3 and its total counts the reply alone.
#pragma once

#include <vector>

#include "sim/variants.h"

namespace pemra_sim {

enum class Framing { Short, Long };

inline constexpr std::size_t reply_header_size = 4;
inline constexpr std::size_t max_fragments = 256;
inline constexpr std::size_t min_notify_size = 20;
inline constexpr std::size_t max_notify_size = 256;

// Deliberate breaches of the framing, for tests of the driver.
struct FramingFaults {
    bool zero_fragment_size = false;
    bool zero_total = false;
    bool too_many_fragments = false;
    bool oversized_fragments = false;
    bool short_header = false;
};

struct FramedReply {
    Bytes header;                    // long framing: the value of characteristic 3
    std::vector<Bytes> notifications; // prefix byte + fragment data, in order
};

// The largest reply that fits the 256 fragments of one framing.
std::size_t max_reply_size(Framing framing, std::size_t notify_size);

FramedReply frame_reply(const Bytes &reply, Framing framing, std::size_t notify_size,
                        const FramingFaults &faults = {});

} // namespace pemra_sim
