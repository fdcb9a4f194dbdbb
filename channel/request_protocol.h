#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "common/failure.h"

// Messages of the request channel between the daemon's threads and the
// worker. A request is [slot][opcode][payload]; requests and replies strictly
// alternate, so they carry no correlation identifier.
enum RequestOpcode : std::uint8_t {
    REQ_RESET = 0,      // the answer to reset
    REQ_APDU = 1,       // payload: a command APDU; the response APDU
    REQ_POWER_OFF = 2,  // nothing, once the card is off
    REQ_DESCRIPTOR = 3, // the reader's descriptor
    REQ_RPC = 4,        // payload: a vendor message; the reader's answer, its result byte first
    REQ_IEEE = 5,       // the reader's Bluetooth address text, without a NUL
};
inline constexpr std::uint8_t last_opcode = REQ_IEEE;

inline constexpr std::size_t request_header_size = 2;
// pcscd's own limit for an extended APDU and its response: whatever it can
// take, the channel carries whole.
inline constexpr std::size_t max_request_payload = 65548;
inline constexpr std::size_t max_request_size = request_header_size + max_request_payload;
inline constexpr std::size_t max_reply_data = 65548;

// Every reply is [status][data]: status 0x00 and the data of a success, or
// the failure the worker met as the status alone. The worker never sends an
// empty message, which the daemon's side takes for a closed channel.
inline constexpr std::uint8_t reply_success = 0x00;
inline constexpr std::size_t reply_status_size = 1;

inline std::uint8_t status_of(Failure failure)
{
    return static_cast<std::uint8_t>(failure);
}

// The failure a status byte names; a byte that names none is read as the
// worker having nothing to answer.
inline Failure failure_of(std::uint8_t status)
{
    if (status == reply_success || status > status_of(last_failure))
        return Failure::NotServed;
    return static_cast<Failure>(status);
}

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
