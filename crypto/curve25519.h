// X25519 of RFC 7748.
#pragma once

#include <cstdint>
#include <span>

// out = X25519(scalar, u); the scalar is clamped and the top bit of u is
// ignored, as RFC 7748 prescribes. Returns 0 on success. Returns -1, with
// out all zero, when no usable result exists: u is a point of small order
// (whose product is the all-zero value) or libcrypto failed.
int curve25519_donna(std::span<uint8_t, 32> out,
                     std::span<const uint8_t, 32> scalar,
                     std::span<const uint8_t, 32> u);
