#include "crypto/curve25519.h"

#include <openssl/crypto.h>

#include "crypto/evp_handles.h"

namespace {

// libcrypto refuses to derive the all-zero secret, so a small-order u
// fails here as well.
bool x25519_derive(std::span<uint8_t, 32> out,
                   std::span<const uint8_t, 32> scalar,
                   std::span<const uint8_t, 32> u)
{
    const EvpPkeyHandle own{EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr,
                                                         scalar.data(), scalar.size())};
    const EvpPkeyHandle peer{EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr,
                                                         u.data(), u.size())};
    if (!own || !peer)
        return false;
    const EvpPkeyCtxHandle ctx{EVP_PKEY_CTX_new(own.get(), nullptr)};
    size_t out_len = out.size();
    return ctx
        && EVP_PKEY_derive_init(ctx.get()) == 1
        && EVP_PKEY_derive_set_peer(ctx.get(), peer.get()) == 1
        && EVP_PKEY_derive(ctx.get(), out.data(), &out_len) == 1
        && out_len == out.size();
}

} // namespace

int curve25519_donna(std::span<uint8_t, 32> out,
                     std::span<const uint8_t, 32> scalar,
                     std::span<const uint8_t, 32> u)
{
    if (x25519_derive(out, scalar, u))
        return 0;
    OPENSSL_cleanse(out.data(), out.size());
    return -1;
}
