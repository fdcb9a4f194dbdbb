#pragma once

#include <cstdint>
#include <span>

// The first bytes of the messages between the driver and a reader. Requests
// carry their code in byte 0; card commands are 02 and a sub-code.
namespace reader_message {

// Sent unencrypted. Only the session itself may send them, never an
// application's vendor message.
inline constexpr std::uint8_t key_exchange = 0x03;
inline constexpr std::uint8_t session_key = 0xA0;

// Sent encrypted during the set-up.
inline constexpr std::uint8_t descriptor = 0x01;
inline constexpr std::uint8_t host_name = 0x04;
inline constexpr std::uint8_t time = 0x0A;
inline constexpr std::uint8_t buffer_size = 0x10;

inline constexpr std::uint8_t card_command = 0x02;
inline constexpr std::uint8_t card_reset = 0x01;
inline constexpr std::uint8_t card_shutdown = 0x04;
inline constexpr std::uint8_t card_apdu = 0x05;

// An application's vendor message may go to the reader unless it is empty
// or begins like a message of the session's own: the key requests, which
// would put the session out of step, and card commands, which would change
// the card behind pcscd's back (a power-off while pcscd holds it powered).
inline bool vendor_message_allowed(std::span<const std::uint8_t> message)
{
    return !message.empty() && message[0] != key_exchange && message[0] != session_key &&
           message[0] != card_command;
}

// Byte 0 of a reply: the reader's result, 00 for success, FF for a message
// it could not serve.
inline constexpr std::uint8_t reply_ok = 0x00;
inline constexpr std::uint8_t reply_failed = 0xFF;

// Notified on characteristic 8: 01 and the card status; 6 means a card is
// present, every other value that none is.
inline constexpr std::uint8_t card_status_report = 0x01;
inline constexpr std::int32_t card_present = 6;

} // namespace reader_message
