// The key pair and the session-key request over a random source that fails.
// This program stands in for libcrypto's RAND_bytes, so that its result can
// be chosen by each test.
#include <algorithm>
#include <array>
#include <cstring>

#include <gtest/gtest.h>
#include <openssl/rand.h>

#include "crypto/key_agreement.h"
#include "crypto/link_crypto.h"

namespace {

constexpr uint8_t random_byte = 0xAB;
int rand_result = 1;

} // namespace

extern "C" int RAND_bytes(unsigned char* buf, int num)
{
    std::memset(buf, random_byte, static_cast<std::size_t>(num));
    return rand_result;
}

namespace {

class FailingRandomSource : public testing::TestWithParam<int> {
protected:
    void SetUp() override { rand_result = GetParam(); }
    void TearDown() override { rand_result = 1; }
};

TEST_P(FailingRandomSource, MakesKeyPairGenerationFailWithoutAPublicKey)
{
    std::array<uint8_t, 32> public_key{};
    std::array<uint8_t, 32> private_key{};
    std::array<uint8_t, 32> base_point{};
    EXPECT_FALSE(pemra_crypto_generate_key_exchange(public_key, private_key, base_point));
    EXPECT_EQ(public_key, (std::array<uint8_t, 32>{}));
    EXPECT_EQ(base_point, def_basepoint);
}

TEST_P(FailingRandomSource, IsReportedByTheSessionKeyRequestWhichIsStillWritten)
{
    std::array<uint8_t, 13> nonce{};
    nonce.fill(0xEE);
    std::array<uint8_t, 32> session_key{};
    std::array<uint8_t, 22> request{};
    EXPECT_FALSE(pemra_crypto_generate_key_request(nonce, session_key, request));

    std::array<uint8_t, 22> expected{};
    expected.fill(random_byte);
    expected.front() = 0xA0;
    expected.back() = 0x01;
    EXPECT_EQ(request, expected);
    EXPECT_EQ(nonce, (std::array<uint8_t, 13>{0, 0, 0, 0, 0, random_byte, random_byte,
                                              random_byte, random_byte, 0, 0, 0, 0}));
}

INSTANTIATE_TEST_SUITE_P(Results, FailingRandomSource, testing::Values(0, -1));

TEST(WorkingRandomSource, LetsBothSucceed)
{
    std::array<uint8_t, 32> public_key{};
    std::array<uint8_t, 32> private_key{};
    std::array<uint8_t, 32> base_point{};
    EXPECT_TRUE(pemra_crypto_generate_key_exchange(public_key, private_key, base_point));
    std::array<uint8_t, 13> nonce{};
    std::array<uint8_t, 32> session_key{};
    std::array<uint8_t, 22> request{};
    EXPECT_TRUE(pemra_crypto_generate_key_request(nonce, session_key, request));
}

} // namespace
