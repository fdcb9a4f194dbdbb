#pragma once

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
    virtual void reset_card(ReplyCompletion done) = 0;
    // Response APDU for a command APDU.
    virtual void write_apdu(std::span<const std::uint8_t> apdu, ReplyCompletion done) = 0;
    // Powers the card down; the outcome is not reported.
    virtual void shutdown(std::function<void()> done) = 0;
    // The reader's plaintext answer to a vendor message, its result byte
    // first.
    virtual void write_rpc(std::span<const std::uint8_t> message, bool encrypt, ReplyCompletion done) = 0;
    // The worker gives up on the operation under way: it fails at once with
    // `failure`, and what it left behind with the reader is put right before
    // the next one.
    virtual void cancel(Failure failure) = 0;
};
