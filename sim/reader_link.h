// The reader's side of the link keys: its half of the X25519 key agreement,
// the session-key response, and the AES-256-CCM frames with the one frame
// counter that both directions share.
#pragma once

#include <array>
#include <optional>

#include "sim/variants.h"

namespace pemra_sim {

using LongTermKey = std::array<std::uint8_t, 32>;

inline constexpr std::uint8_t key_exchange_code = 0x03;
inline constexpr std::uint8_t session_key_code = 0xA0;
inline constexpr std::uint8_t encrypted_frame_marker = 0xFF;

struct KeyAgreement {
    Bytes reply;                    // 00 | reader public key, or a one-byte failure status
    std::optional<LongTermKey> ltk; // the shared secret on success
};

// Answers 03 | base point 9 | host public key with a fresh reader key pair.
KeyAgreement agree_long_term_key(const Bytes &request);

class SessionCipher {
public:
    // Answers A0 | host random (16) | host nonce part (4) | 01 with
    // 00 | reader random (16) | reader nonce part (4) and derives the
    // session key and nonce the host derives. Nothing on a malformed request.
    std::optional<Bytes> start(const LongTermKey &ltk, const Bytes &request);
    bool active() const { return active_; }
    // Opens ciphertext | tag (the frame without its marker); the counter
    // moves on whether or not the tag verifies.
    std::optional<Bytes> open(const Bytes &sealed);
    // ciphertext | tag of the plaintext: replies carry no marker byte.
    Bytes seal(const Bytes &plaintext);
    void reset();

private:
    std::array<std::uint8_t, 32> key_{};
    std::array<std::uint8_t, 13> nonce_{};
    bool active_ = false;
};

} // namespace pemra_sim
