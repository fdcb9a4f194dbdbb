#pragma once

#include <cstddef>
#include <cstdint>

// Messages between the daemon's threads and the worker. A request is
// [slot][opcode][payload]; requests and replies strictly alternate, so they
// carry no correlation identifier.
enum RequestOpcode : std::uint8_t {
    REQ_RESET = 0,
    REQ_APDU = 1,
    REQ_POWER_OFF = 2,
    REQ_DESCRIPTOR = 3,
    REQ_RPC = 4,
    REQ_IEEE = 5,
};
inline constexpr std::uint8_t last_opcode = REQ_IEEE;

inline constexpr std::size_t request_header_size = 2;
// Both ends read one whole message into an area of this size.
inline constexpr std::size_t request_area_size = 8192;
inline constexpr std::size_t max_request_payload = request_area_size - request_header_size;

// Status byte of a status reply; also the whole failure reply of every opcode.
inline constexpr std::uint8_t reply_success = 0x00;
inline constexpr std::uint8_t reply_failure = 0xFF;

// First bytes of the key-exchange and session-key requests: only the session
// itself may send them, never an application's vendor message.
inline constexpr std::uint8_t key_exchange_request_code = 0x03;
inline constexpr std::uint8_t session_key_request_code = 0xA0;
