#pragma once

#include <cstdint>
#include <span>

#include "common/failure.h"

// The daemon's end of the request channel: each function sends one request
// to the worker and blocks on its reply, and yields the number of bytes it
// placed into the caller's buffer, or why there are none. Nothing is placed
// into the buffer when the answer does not fit it.

// The answer to reset. A failure byte from the worker is NotServed.
Outcome<std::size_t> icc_reset(std::uint8_t slot, std::span<std::uint8_t> atr);
Done icc_power_off(std::uint8_t slot);
// The response APDU.
Outcome<std::size_t> write_apdu(std::uint8_t slot, std::span<const std::uint8_t> apdu,
                                std::span<std::uint8_t> response);
// The reader's whole answer, its result byte first; NotServed when that byte
// is 0xFF. Refused, unsent, for a message that applications may not send.
Outcome<std::size_t> write_rpc_ext(std::uint8_t slot, std::span<const std::uint8_t> message,
                                   std::span<std::uint8_t> answer);
// The reply as it came; NotServed when it is shorter than 2 bytes.
Outcome<std::size_t> get_pemra_ieee(std::uint8_t slot, std::span<std::uint8_t> buffer);
Outcome<std::size_t> get_pemra_descriptor(std::uint8_t slot, std::span<std::uint8_t> buffer);

// Read from the slot table without any request; 0 for a slot that does not
// exist. The maximum APDU size never exceeds what the channel carries.
std::int32_t get_card_status(std::uint8_t slot);
std::int32_t get_apdu_len(std::uint8_t slot);
