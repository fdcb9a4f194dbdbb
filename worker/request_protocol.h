#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

// Messages of the request channel between the daemon's threads and the
// worker. A request is [slot][opcode][payload]; requests and replies strictly
// alternate, so they carry no correlation identifier.
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
// pcscd's own limit for an extended APDU and its response: whatever it can
// take, the channel carries whole.
inline constexpr std::size_t max_request_payload = 65548;
inline constexpr std::size_t max_request_size = request_header_size + max_request_payload;
inline constexpr std::size_t max_reply_data = 65548;

// Status byte of a status reply; also the whole failure reply of every opcode.
inline constexpr std::uint8_t reply_success = 0x00;
inline constexpr std::uint8_t reply_failure = 0xFF;

// No request waits longer than this on the worker for its answer, counted
// from when the daemon's side sent it, whatever the reader does: then it
// fails and the session gives up what it did for it. It leaves room for the
// tunnel's own bounds on one transfer (a card that computes for minutes, a
// reply that trickles in) and the start of an encryption.
inline constexpr std::chrono::milliseconds request_deadline{200000};
// The daemon's side waits this long for a reply: longer than the worker's
// deadline, so it ends only when the worker itself is held (a bluetoothd
// that stopped answering the worker's synchronous calls).
inline constexpr std::chrono::milliseconds reply_wait_limit = request_deadline + std::chrono::seconds(5);
