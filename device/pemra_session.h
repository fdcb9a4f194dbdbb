#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "bluez/bytes.h"

// What the request dispatcher needs of the reader session in a slot. The
// reader session implements it; tests put scripted sessions in the slot.
//
// Every completion runs exactly once, on the worker's main loop, after the
// start call has returned. An empty result means the operation failed.
class PemraSession {
public:
    using BytesCompletion = std::function<void(Bytes)>;

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
    virtual void reset_card(BytesCompletion done) = 0;
    // Response APDU for a command APDU.
    virtual void write_apdu(std::span<const std::uint8_t> apdu, BytesCompletion done) = 0;
    // Powers the card down; the outcome is not reported.
    virtual void shutdown(std::function<void()> done) = 0;
    // The reader's plaintext answer to a vendor message.
    virtual void write_rpc(std::span<const std::uint8_t> message, bool encrypt,
                           BytesCompletion done) = 0;
};
