// Owning handles for libcrypto objects, so that every context is freed on
// every path out of a function.
#pragma once

#include <memory>

#include <openssl/evp.h>

template <auto free_fn>
struct EvpDeleter {
    template <typename T>
    void operator()(T* p) const noexcept { free_fn(p); }
};

using EvpCipherCtxHandle = std::unique_ptr<EVP_CIPHER_CTX, EvpDeleter<EVP_CIPHER_CTX_free>>;
using EvpPkeyHandle = std::unique_ptr<EVP_PKEY, EvpDeleter<EVP_PKEY_free>>;
using EvpPkeyCtxHandle = std::unique_ptr<EVP_PKEY_CTX, EvpDeleter<EVP_PKEY_CTX_free>>;
