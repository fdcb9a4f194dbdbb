// The driver's key pair and the shared secret with a reader.
#include <algorithm>
#include <array>

#include <gtest/gtest.h>

#include "crypto/key_agreement.h"
#include "tests/crypto/hex.h"
#include "tests/crypto/small_order_points.h"

namespace {

using Bytes32 = std::array<uint8_t, 32>;

struct KeyPair {
    Bytes32 public_key{};
    Bytes32 private_key{};
    Bytes32 base_point{};
};

KeyPair generate()
{
    KeyPair pair;
    EXPECT_TRUE(pemra_crypto_generate_key_exchange(pair.public_key, pair.private_key,
                                                   pair.base_point));
    return pair;
}

TEST(KeyExchangeGeneration, FillsTheBasePointBufferWithNineThenZeros)
{
    Bytes32 expected{};
    expected[0] = 0x09;
    EXPECT_EQ(generate().base_point, expected);
}

TEST(KeyExchangeGeneration, ClampsThePrivateKey)
{
    for (int i = 0; i < 16; ++i) {
        const KeyPair pair = generate();
        EXPECT_EQ(pair.private_key[0] & 0x07, 0);
        EXPECT_EQ(pair.private_key[31] & 0xC0, 0x40);
    }
}

TEST(KeyExchangeGeneration, GivesAFreshKeyPairEachTime)
{
    EXPECT_NE(generate().private_key, generate().private_key);
}

TEST(KeyExchangeResponse, AgreesOnOneSecretFromBothSides)
{
    const KeyPair driver = generate();
    const KeyPair reader = generate();
    Bytes32 driver_secret{};
    Bytes32 reader_secret{};
    ASSERT_TRUE(pemra_crypto_got_key_exchange_response(reader.public_key, driver.private_key,
                                                       driver_secret));
    ASSERT_TRUE(pemra_crypto_got_key_exchange_response(driver.public_key, reader.private_key,
                                                       reader_secret));
    EXPECT_EQ(driver_secret, reader_secret);
    EXPECT_NE(driver_secret, Bytes32{});
}

// RFC 7748, section 6.1, with the driver as Alice and the reader as Bob.
TEST(KeyExchangeResponse, ComputesTheSharedSecretOfTheReferenceExchange)
{
    const auto alice_private = hex_array<32>("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a");
    const auto bob_public = hex_array<32>("de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f");
    Bytes32 secret{};
    ASSERT_TRUE(pemra_crypto_got_key_exchange_response(bob_public, alice_private, secret));
    EXPECT_EQ(secret,
              hex_array<32>("4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742"));
}

TEST(KeyExchangeResponse, RefusesAReaderKeyThatIsNot32BytesLong)
{
    const KeyPair driver = generate();
    std::array<uint8_t, 33> reader_key{};
    std::ranges::copy(generate().public_key, reader_key.begin());
    for (const std::size_t length : {0, 31, 33}) {
        Bytes32 secret;
        secret.fill(0xEE);
        const Bytes32 before = secret;
        EXPECT_FALSE(pemra_crypto_got_key_exchange_response(
            std::span(reader_key).first(length), driver.private_key, secret)) << length;
        EXPECT_EQ(secret, before) << length;
    }
}

class KeyExchangeSmallOrder : public testing::TestWithParam<const char*> {};

TEST_P(KeyExchangeSmallOrder, RefusesTheReaderKeyAndLeavesTheSecretUntouched)
{
    const KeyPair driver = generate();
    Bytes32 secret;
    secret.fill(0xEE);
    const Bytes32 before = secret;
    EXPECT_FALSE(pemra_crypto_got_key_exchange_response(hex_array<32>(GetParam()),
                                                        driver.private_key, secret));
    EXPECT_EQ(secret, before);
}

INSTANTIATE_TEST_SUITE_P(KnownPoints, KeyExchangeSmallOrder, testing::ValuesIn(small_order_points),
                         small_order_point_name);

} // namespace
