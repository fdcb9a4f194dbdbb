// Protection of the link to a reader: the session-key request and its
// derivation, and AES-256-CCM frames under the session key.
//
// The nonce (13 bytes) is shared by both directions:
//   byte 0      always 0x00
//   bytes 1-4   frame counter, big-endian, 0 after each session-key request
//   bytes 5-8   driver's part, random, chosen with the session-key request
//   bytes 9-12  reader's part, taken from the session-key response
// Every frame encrypted or decrypted (4 bytes or longer) moves the counter on
// by one, so a request is sealed with counter k and its reply opened with k+1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

inline constexpr std::size_t pemra_crypto_key_size = 32;
inline constexpr std::size_t pemra_crypto_nonce_size = 13;
inline constexpr std::size_t pemra_crypto_key_request_size = 22;
inline constexpr std::size_t pemra_crypto_key_response_size = 20;
inline constexpr std::size_t pemra_crypto_tag_size = 4;
// CCM with a 2-byte length field bounds the plaintext.
inline constexpr std::size_t pemra_crypto_max_plaintext = 0xFFFF;

// Starts a session: resets the nonce (counter 0, fresh driver part), puts a
// fresh 16-byte random value into session_key bytes 0-15 and writes the
// request A0 | random value | driver nonce part | 01. The request is always
// written; returns false when the random source failed, and then the session
// must not go on with it.
[[nodiscard]] bool pemra_crypto_generate_key_request(std::span<uint8_t, 13> nonce,
                                                     std::span<uint8_t, 32> session_key,
                                                     std::span<uint8_t, 22> request);

// Derives the session key from the reader's 20-byte response (16-byte random
// value, 4-byte nonce part): each half of the key is one AES-256 block, under
// the long-term key, of the driver's and the reader's random value. Returns
// false, changing nothing, when the response is not 20 bytes or the cipher
// failed.
[[nodiscard]] bool pemra_crypto_process_key_response(std::span<uint8_t, 13> nonce,
                                                     std::span<uint8_t, 32> session_key,
                                                     std::span<const uint8_t, 32> ltk,
                                                     std::span<const uint8_t> response);

// Size of the frame that carries a plaintext of n bytes: marker 0xFF,
// ciphertext, tag.
constexpr std::size_t pemra_crypto_get_encrypted_size(std::size_t n) noexcept
{
    return 1 + n + pemra_crypto_tag_size;
}

// Writes 0xFF | ciphertext | tag into the first
// pemra_crypto_get_encrypted_size(plaintext.size()) bytes of frame and
// advances the nonce. Returns false without touching frame or nonce when the
// plaintext is too long or frame too short; returns false with frame wiped
// (and the nonce advanced) when the cipher failed.
[[nodiscard]] bool pemra_crypto_encrypt_buf(std::span<const uint8_t> plaintext,
                                            std::span<uint8_t> frame,
                                            std::span<const uint8_t, 32> key,
                                            std::span<uint8_t, 13> nonce);

// Opens a reply frame ciphertext | tag in place. Returns the plaintext length
// (frame.size() - 4, the plaintext at the start of frame), or 0 when the tag
// does not verify. Frames under 4 bytes return 0 and leave the nonce alone;
// all others advance it, verified or not. A 4-byte frame yields 0 as well.
std::size_t pemra_crypto_decrypt_buf(std::span<uint8_t> frame,
                                     std::span<const uint8_t, 32> key,
                                     std::span<uint8_t, 13> nonce);
