// Key agreement with a reader: the driver's X25519 key pair and the shared
// secret that becomes the reader's long-term key.
#pragma once

#include <array>
#include <cstdint>
#include <span>

inline constexpr std::size_t pemra_crypto_x25519_size = 32;

// The X25519 base point u = 9; it also travels in the key-exchange request.
inline constexpr std::array<uint8_t, pemra_crypto_x25519_size> def_basepoint{9};

// Fills base_point with def_basepoint, private_key with a fresh clamped
// scalar and public_key with X25519(private_key, 9). Returns false when the
// random source failed (public_key is then not computed) or X25519 failed;
// the key pair must not be used then.
[[nodiscard]] bool pemra_crypto_generate_key_exchange(std::span<uint8_t, 32> public_key,
                                                      std::span<uint8_t, 32> private_key,
                                                      std::span<uint8_t, 32> base_point);

// shared_secret = X25519(private_key, reader_public_key). Returns false, with
// shared_secret untouched, when the reader's key is not 32 bytes long or is
// a point of small order (the secret would be all zero).
[[nodiscard]] bool pemra_crypto_got_key_exchange_response(std::span<const uint8_t> reader_public_key,
                                                          std::span<const uint8_t, 32> private_key,
                                                          std::span<uint8_t, 32> shared_secret);
