#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "common/bytes.h"
#include "common/failure.h"

// What the request dispatcher needs of the reader session in a slot. The
// reader session implements it; tests put scripted sessions in the slot.
//
// Every completion runs exactly once, on the worker's main loop, after the
// start call has returned.
class PemraSession {
public:
    using ReplyCompletion = std::function<void(Outcome<Bytes>)>;
    // When the request that an operation serves is due: an operation whose
    // request is past due never starts.
    using Deadline = std::chrono::steady_clock::time_point;

    virtual ~PemraSession() = default;

    // The set-up handshake has finished; only a ready session takes requests.
    virtual bool is_ready() const = 0;
    // The reader's descriptor as obtained during the set-up; empty if none.
    virtual std::span<const std::uint8_t> descriptor_bytes() const = 0;
    // The reader's BlueZ device object: a device gets no second session.
    virtual const std::string &device_path() const = 0;
    // The reader's Bluetooth address text, if known.
    virtual std::optional<std::string> get_ieee() const = 0;

    // Answer-to-reset bytes.
    virtual void reset_card(Deadline due, ReplyCompletion done) = 0;
    // Response APDU for a command APDU.
    virtual void write_apdu(std::span<const std::uint8_t> apdu, Deadline due, ReplyCompletion done) = 0;
    // Powers the card down; the outcome is not reported.
    virtual void shutdown(Deadline due, std::function<void()> done) = 0;
    // The reader's plaintext answer to a vendor message, its result byte
    // first.
    virtual void write_rpc(std::span<const std::uint8_t> message, bool encrypt, Deadline due,
                           ReplyCompletion done) = 0;
    // BlueZ has left the bus, and with it the reader's link: a request under
    // way ends at once, and the session reports its reader gone.
    virtual void link_lost() = 0;
    // The worker gives up on the requests due by `due`: an operation of
    // theirs under way fails at once with `failure`, one waiting to start
    // never starts, and what they left behind with the reader is put right
    // before the next operation. Other operations go on.
    virtual void cancel(Deadline due, Failure failure) = 0;
};
