#pragma once

#include <cstddef>

// The roles of the Pemra service's numbered characteristics (numbered by the
// digit after "0000000" in their UUIDs; 5 and 6 exist but are not used).
namespace tunnel_characteristic {

inline constexpr std::size_t long_length = 1;     // write: the length of a long message
inline constexpr std::size_t long_body = 2;       // write: a long message, in chunks
inline constexpr std::size_t reply_header = 3;    // read: the header of a long message's reply
inline constexpr std::size_t reply_fragments = 4; // notify: reply fragments
inline constexpr std::size_t short_request = 7;   // write: a short message with its length
inline constexpr std::size_t reader_status = 8;   // notify: the card status
inline constexpr std::size_t indication = 9;      // write without response: indications

// Without these a tunnel cannot carry a transfer.
inline constexpr std::size_t required[] = {long_length, long_body,     reply_header, reply_fragments,
                                           short_request, reader_status, indication};

} // namespace tunnel_characteristic
