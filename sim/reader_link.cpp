#include "sim/reader_link.h"

#include <algorithm>

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include "crypto/key_agreement.h"
#include "crypto/link_crypto.h"

namespace pemra_sim {

namespace {

constexpr std::size_t key_exchange_size = 1 + 32 + 32;
constexpr std::size_t random_size = 16;
constexpr std::size_t nonce_part_size = 4;
constexpr std::size_t host_part_offset = 5;
constexpr std::uint8_t status_ok = 0x00;
constexpr std::uint8_t status_refused = 0x01;

} // namespace

KeyAgreement agree_long_term_key(const Bytes &request)
{
    const Bytes refused{status_refused};
    if (request.size() != key_exchange_size || request[0] != key_exchange_code)
        return {refused, std::nullopt};
    const std::span<const std::uint8_t> base_point(request.data() + 1, 32);
    if (!std::ranges::equal(base_point, def_basepoint))
        return {refused, std::nullopt};

    std::array<std::uint8_t, 32> public_key{}, private_key{}, base{};
    LongTermKey ltk{};
    const std::span<const std::uint8_t> host_key(request.data() + 33, 32);
    const bool agreed = pemra_crypto_generate_key_exchange(public_key, private_key, base)
        && pemra_crypto_got_key_exchange_response(host_key, private_key, ltk);
    OPENSSL_cleanse(private_key.data(), private_key.size());
    if (!agreed)
        return {refused, std::nullopt};

    Bytes reply{status_ok};
    reply.insert(reply.end(), public_key.begin(), public_key.end());
    return {reply, ltk};
}

std::optional<Bytes> SessionCipher::start(const LongTermKey &ltk, const Bytes &request)
{
    if (request.size() != pemra_crypto_key_request_size || request[0] != session_key_code)
        return std::nullopt;
    Bytes response(pemra_crypto_key_response_size);
    if (RAND_bytes(response.data(), static_cast<int>(response.size())) != 1)
        return std::nullopt;

    // The host's half goes where the host keeps it before the derivation,
    // which is then the same on both sides.
    reset();
    std::copy_n(request.begin() + 1, random_size, key_.begin());
    std::copy_n(request.begin() + 1 + random_size, nonce_part_size, nonce_.begin() + host_part_offset);
    if (!pemra_crypto_process_key_response(nonce_, key_, ltk, response))
        return std::nullopt;
    active_ = true;

    Bytes reply{status_ok};
    reply.insert(reply.end(), response.begin(), response.end());
    return reply;
}

std::optional<Bytes> SessionCipher::open(const Bytes &sealed)
{
    Bytes frame = sealed;
    // An empty message means nothing to the reader, so 0 is a failure
    // whatever the tag said.
    const std::size_t length = pemra_crypto_decrypt_buf(frame, key_, nonce_);
    if (length == 0)
        return std::nullopt;
    frame.resize(length);
    return frame;
}

Bytes SessionCipher::seal(const Bytes &plaintext)
{
    Bytes frame(pemra_crypto_get_encrypted_size(plaintext.size()));
    if (!pemra_crypto_encrypt_buf(plaintext, frame, key_, nonce_))
        return {};
    frame.erase(frame.begin());
    return frame;
}

void SessionCipher::reset()
{
    OPENSSL_cleanse(key_.data(), key_.size());
    nonce_.fill(0);
    active_ = false;
}

} // namespace pemra_sim
