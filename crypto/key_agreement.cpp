#include "crypto/key_agreement.h"

#include <algorithm>

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include "crypto/curve25519.h"

namespace {

// RFC 7748 scalar clamping: a multiple of the cofactor 8, top bit fixed.
void clamp_scalar(std::span<uint8_t, 32> scalar)
{
    scalar[0] &= 0xF8;
    scalar[31] &= 0x7F;
    scalar[31] |= 0x40;
}

} // namespace

bool pemra_crypto_generate_key_exchange(std::span<uint8_t, 32> public_key,
                                        std::span<uint8_t, 32> private_key,
                                        std::span<uint8_t, 32> base_point)
{
    std::ranges::copy(def_basepoint, base_point.begin());
    if (RAND_bytes(private_key.data(), static_cast<int>(private_key.size())) != 1)
        return false;
    clamp_scalar(private_key);
    return curve25519_donna(public_key, private_key, base_point) == 0;
}

bool pemra_crypto_got_key_exchange_response(std::span<const uint8_t> reader_public_key,
                                            std::span<const uint8_t, 32> private_key,
                                            std::span<uint8_t, 32> shared_secret)
{
    if (reader_public_key.size() != pemra_crypto_x25519_size)
        return false;
    // Computed aside so that a refused key leaves the caller's secret alone.
    std::array<uint8_t, pemra_crypto_x25519_size> secret{};
    const bool agreed = curve25519_donna(secret, private_key,
                                         reader_public_key.first<pemra_crypto_x25519_size>()) == 0;
    if (agreed)
        std::ranges::copy(secret, shared_secret.begin());
    OPENSSL_cleanse(secret.data(), secret.size());
    return agreed;
}
