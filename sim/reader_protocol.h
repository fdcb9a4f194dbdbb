// The reader's message protocol: what it answers to each message that
// reaches it through the tunnel, with the card in its slot.
//
// Unencrypted: 03 key exchange (00 | reader public key), A0 session-key
// request (00 | random | nonce part; 01 when the reader has no long-term key
// for this host, so that the host agrees a new one), anything else FF.
// Encrypted frames (FF | ciphertext | tag) are answered with ciphertext | tag
// of the plaintext reply; a frame that does not open is answered with the
// single unencrypted byte FF. Plaintext requests and their replies:
//   01            descriptor          00 | descriptor
//   02 01         card reset          00 | ATR
//   02 04         card shutdown       00
//   02 05 APDU    card command        00 | response APDU
//   04 name       host name           00
//   0A lo hi      time (minutes)      00
//   10            message size        00 | size (LE, 2 bytes)
//   7E ...        vendor: reverse     00 | the whole message reversed
//   7F ...        vendor: fail        FF
//   anything else                     FF
// Card commands fail with 01 (no card, or it does not answer) or 02 (card
// not powered); a request
// longer than the message size allows fails with 0B.
#pragma once

#include <string>

#include "sim/card.h"
#include "sim/faults.h"
#include "sim/reader_link.h"

namespace pemra_sim {

class EventLog;
class KeyStore;

inline constexpr std::uint8_t card_present = 0x06;
inline constexpr std::uint8_t card_absent = 0x02;

struct ReaderIdentity {
    std::string address;
    std::string name;
};

class ReaderProtocol {
public:
    ReaderProtocol(ReaderIdentity identity, std::size_t message_size, KeyStore &keys, Faults &faults,
                   EventLog &log, std::string source);

    // The reply to one message of the host that is connected through the
    // adapter with address `host`.
    Bytes answer(const Bytes &message, const std::string &host);
    // The link is gone: the session key with it, and the card's power.
    void end_session();

    // The card in the slot from now on: the built-in one, or another.
    void use_card(CardBackend *card);
    std::uint8_t card_status() const { return card_status_; }
    void set_card_status(std::uint8_t status);
    Bytes descriptor() const;
    std::size_t message_size() const { return message_size_; }
    const std::string &host_name() const { return host_name_; }

private:
    Bytes key_exchange(const Bytes &message, const std::string &host);
    Bytes session_key(const Bytes &message, const std::string &host);
    Bytes encrypted(const Bytes &message);
    // FF, or the counting bytes that the plain-reply-bytes switch asks for.
    Bytes plain_answer() const;
    Bytes plaintext_answer(const Bytes &request);
    Bytes card_command(const Bytes &request);
    Bytes vendor_reverse(const Bytes &request) const;

    ReaderIdentity identity_;
    std::size_t message_size_;
    KeyStore &keys_;
    Faults &faults_;
    EventLog &log_;
    std::string source_;
    SessionCipher cipher_;
    Card builtin_card_;
    CardBackend *card_ = &builtin_card_;
    std::uint8_t card_status_ = card_present;
    bool powered_ = false;
    std::string host_name_;
};

} // namespace pemra_sim
