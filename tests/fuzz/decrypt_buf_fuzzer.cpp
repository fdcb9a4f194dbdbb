// Frames of any content and length through pemra_crypto_decrypt_buf: nothing
// may crash or reach outside the frame, and the nonce must move exactly as
// the link requires. The same bytes, taken as a plaintext, must also survive
// an encryption and decryption round trip.
//
// Input: key (32 bytes) | nonce (13 bytes) | frame (the rest).
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "crypto/link_crypto.h"
#include "tests/fuzz/require.h"

namespace {

using Key = std::array<uint8_t, pemra_crypto_key_size>;
using Nonce = std::array<uint8_t, pemra_crypto_nonce_size>;

uint32_t counter_of(const Nonce& nonce)
{
    return static_cast<uint32_t>(nonce[1]) << 24 | static_cast<uint32_t>(nonce[2]) << 16
        | static_cast<uint32_t>(nonce[3]) << 8 | nonce[4];
}

// Every byte outside the counter stays; the counter moves on by `frames`.
void require_advanced(const Nonce& before, const Nonce& after, uint32_t frames)
{
    require(after[0] == before[0]);
    require(std::equal(before.begin() + 5, before.end(), after.begin() + 5));
    require(counter_of(after) == counter_of(before) + frames);
}

void check_decryption(const Key& key, const Nonce& nonce, std::vector<uint8_t> frame)
{
    Nonce working = nonce;
    const std::size_t n = pemra_crypto_decrypt_buf(frame, key, working);
    if (frame.size() < pemra_crypto_tag_size) {
        require(n == 0 && working == nonce);
        return;
    }
    require(n == 0 || n == frame.size() - pemra_crypto_tag_size);
    require_advanced(nonce, working, 1);
}

void check_round_trip(const Key& key, const Nonce& nonce, const std::vector<uint8_t>& plaintext)
{
    std::vector<uint8_t> frame(pemra_crypto_get_encrypted_size(plaintext.size()));
    Nonce sealing = nonce;
    require(pemra_crypto_encrypt_buf(plaintext, frame, key, sealing));
    require(frame[0] == 0xFF);

    std::vector<uint8_t> reply(frame.begin() + 1, frame.end());
    Nonce opening = nonce;
    require(pemra_crypto_decrypt_buf(reply, key, opening) == plaintext.size());
    require(std::equal(plaintext.begin(), plaintext.end(), reply.begin()));
    require(opening == sealing);
    require_advanced(nonce, sealing, 1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    Key key{};
    Nonce nonce{};
    if (size < key.size() + nonce.size())
        return 0;
    std::copy_n(data, key.size(), key.begin());
    std::copy_n(data + key.size(), nonce.size(), nonce.begin());
    // A buffer of exactly the frame's size, so that any overrun is seen.
    const std::vector<uint8_t> frame(data + key.size() + nonce.size(), data + size);

    check_decryption(key, nonce, frame);
    if (frame.size() <= pemra_crypto_max_plaintext)
        check_round_trip(key, nonce, frame);
    return 0;
}
