#include "crypto/link_crypto.h"

#include <algorithm>
#include <array>

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include "common/reader_messages.h"
#include "crypto/evp_handles.h"

namespace {

constexpr std::size_t counter_first = 1;
constexpr std::size_t counter_last = 4;
constexpr std::size_t driver_part_offset = 5;
constexpr std::size_t reader_part_offset = 9;
constexpr std::size_t nonce_part_size = 4;
constexpr std::size_t random_value_size = 16;

constexpr uint8_t key_request_end = 0x01;
constexpr uint8_t frame_marker = 0xFF;

// L = 2 leaves 15 - 2 = 13 bytes for the nonce.
constexpr int ccm_length_field_size = 2;
constexpr int ccm_tag_size = static_cast<int>(pemra_crypto_tag_size);

bool fill_random(std::span<uint8_t> out)
{
    return RAND_bytes(out.data(), static_cast<int>(out.size())) == 1;
}

// Frame counter in bytes 1-4, big-endian, wrapping to 0; byte 0 is never
// touched.
void advance_nonce(std::span<uint8_t, 13> nonce)
{
    for (std::size_t i = counter_last; i >= counter_first; --i) {
        if (++nonce[i] != 0)
            break;
    }
}

// Each 16-byte block encrypted on its own under the long-term key.
bool aes256_ecb_encrypt_in_place(std::span<const uint8_t, 32> key,
                                 std::span<uint8_t, 32> blocks)
{
    const EvpCipherCtxHandle ctx{EVP_CIPHER_CTX_new()};
    int out_len = 0;
    return ctx
        && EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_ecb(), nullptr, key.data(), nullptr) == 1
        && EVP_CIPHER_CTX_set_padding(ctx.get(), 0) == 1
        && EVP_EncryptUpdate(ctx.get(), blocks.data(), &out_len, blocks.data(),
                             static_cast<int>(blocks.size())) == 1
        && out_len == static_cast<int>(blocks.size());
}

// AES-256-CCM with a 4-byte tag and a 13-byte nonce. For decryption the
// expected tag must be known before the key and nonce are set.
EvpCipherCtxHandle ccm_context(bool encrypt,
                               std::span<const uint8_t, 32> key,
                               std::span<const uint8_t, 13> nonce,
                               uint8_t* expected_tag)
{
    EvpCipherCtxHandle ctx{EVP_CIPHER_CTX_new()};
    const int enc = encrypt ? 1 : 0;
    const bool ready = ctx
        && EVP_CipherInit_ex(ctx.get(), EVP_aes_256_ccm(), nullptr, nullptr, nullptr, enc) == 1
        && EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_TAG, ccm_tag_size, expected_tag) == 1
        && EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_CCM_SET_L, ccm_length_field_size, nullptr) == 1
        && EVP_CipherInit_ex(ctx.get(), nullptr, nullptr, key.data(), nonce.data(), enc) == 1;
    if (!ready)
        ctx.reset();
    return ctx;
}

// CCM takes the whole message in one update call, with no associated data.
bool ccm_seal(std::span<uint8_t> body, std::span<uint8_t, 4> tag,
              std::span<const uint8_t, 32> key, std::span<const uint8_t, 13> nonce)
{
    const EvpCipherCtxHandle ctx = ccm_context(true, key, nonce, nullptr);
    int out_len = 0;
    return ctx
        && EVP_EncryptUpdate(ctx.get(), body.data(), &out_len, body.data(),
                             static_cast<int>(body.size())) == 1
        && EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_GET_TAG, ccm_tag_size, tag.data()) == 1;
}

// The tag is checked within the update call, which fails on a mismatch.
bool ccm_open(std::span<uint8_t> body, std::span<uint8_t, 4> tag,
              std::span<const uint8_t, 32> key, std::span<const uint8_t, 13> nonce)
{
    const EvpCipherCtxHandle ctx = ccm_context(false, key, nonce, tag.data());
    int out_len = 0;
    return ctx
        && EVP_DecryptUpdate(ctx.get(), body.data(), &out_len, body.data(),
                             static_cast<int>(body.size())) == 1;
}

} // namespace

bool pemra_crypto_generate_key_request(std::span<uint8_t, 13> nonce,
                                       std::span<uint8_t, 32> session_key,
                                       std::span<uint8_t, 22> request)
{
    std::ranges::fill(nonce, 0);
    const auto driver_part = nonce.subspan<driver_part_offset, nonce_part_size>();
    const auto driver_value = session_key.first<random_value_size>();
    const bool part_ok = fill_random(driver_part);
    const bool value_ok = fill_random(driver_value);

    request[0] = reader_message::session_key;
    auto rest = std::ranges::copy(driver_value, request.begin() + 1).out;
    rest = std::ranges::copy(driver_part, rest).out;
    *rest = key_request_end;
    return part_ok && value_ok;
}

bool pemra_crypto_process_key_response(std::span<uint8_t, 13> nonce,
                                       std::span<uint8_t, 32> session_key,
                                       std::span<const uint8_t, 32> ltk,
                                       std::span<const uint8_t> response)
{
    if (response.size() != pemra_crypto_key_response_size)
        return false;
    const auto reader_value = response.first<random_value_size>();
    const auto reader_part = response.subspan<random_value_size, nonce_part_size>();

    // Derived aside, so that a cipher failure leaves the session as it was.
    std::array<uint8_t, pemra_crypto_key_size> derived{};
    std::ranges::copy(session_key.first<random_value_size>(), derived.begin());
    std::ranges::copy(reader_value, derived.begin() + random_value_size);
    const bool derived_ok = aes256_ecb_encrypt_in_place(ltk, derived);
    if (derived_ok) {
        std::ranges::copy(derived, session_key.begin());
        std::ranges::copy(reader_part, nonce.begin() + reader_part_offset);
    }
    OPENSSL_cleanse(derived.data(), derived.size());
    return derived_ok;
}

bool pemra_crypto_encrypt_buf(std::span<const uint8_t> plaintext,
                              std::span<uint8_t> frame,
                              std::span<const uint8_t, 32> key,
                              std::span<uint8_t, 13> nonce)
{
    const std::size_t n = plaintext.size();
    if (n > pemra_crypto_max_plaintext || frame.size() < pemra_crypto_get_encrypted_size(n))
        return false;
    frame[0] = frame_marker;
    const auto body = frame.subspan(1, n);
    const auto tag = frame.subspan(1 + n).first<pemra_crypto_tag_size>();
    // Sealed in place: the body then has a valid address even for an empty
    // plaintext, which libcrypto would otherwise take for a final call.
    std::ranges::copy(plaintext, body.begin());
    const bool sealed = ccm_seal(body, tag, key, nonce);
    if (!sealed)
        OPENSSL_cleanse(frame.data(), pemra_crypto_get_encrypted_size(n));
    advance_nonce(nonce);
    return sealed;
}

std::size_t pemra_crypto_decrypt_buf(std::span<uint8_t> frame,
                                     std::span<const uint8_t, 32> key,
                                     std::span<uint8_t, 13> nonce)
{
    if (frame.size() < pemra_crypto_tag_size)
        return 0;
    const std::size_t n = frame.size() - pemra_crypto_tag_size;
    const bool opened = n <= pemra_crypto_max_plaintext
        && ccm_open(frame.first(n), frame.subspan(n).first<pemra_crypto_tag_size>(), key, nonce);
    advance_nonce(nonce);
    return opened ? n : 0;
}
