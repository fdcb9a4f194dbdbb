// X25519 against the vectors of RFC 7748, sections 5.2 and 6.1.
#include <array>

#include <gtest/gtest.h>

#include "crypto/curve25519.h"
#include "tests/crypto/hex.h"
#include "tests/crypto/small_order_points.h"

namespace {

using Bytes32 = std::array<uint8_t, 32>;

Bytes32 x25519(const Bytes32& scalar, const Bytes32& u)
{
    Bytes32 out{};
    EXPECT_EQ(curve25519_donna(out, scalar, u), 0);
    return out;
}

TEST(Curve25519, MatchesTheFirstScalarMultiplicationVector)
{
    const auto scalar = hex_array<32>("a546e36bf0527c9d3b16154b82465edd62144c0ac1fc5a18506a2244ba449ac4");
    const auto u = hex_array<32>("e6db6867583030db3594c1a424b15f7c726624ec26b3353b10a903a6d0ab1c4c");
    EXPECT_EQ(x25519(scalar, u),
              hex_array<32>("c3da55379de9c6908e94ea4df28d084f32eccf03491c71f754b4075577a28552"));
}

// Its u has the top bit set, which X25519 must ignore.
TEST(Curve25519, MatchesTheSecondScalarMultiplicationVector)
{
    const auto scalar = hex_array<32>("4b66e9d4d1b4673c5ad22691957d6af5c11b6421e0ea01d42ca4169e7918ba0d");
    const auto u = hex_array<32>("e5210f12786811d3f4b7959d0538ae2c31dbe7106fc03c3efc4cd549c715a493");
    EXPECT_EQ(x25519(scalar, u),
              hex_array<32>("95cbde9476e8907d7aade45cb4b873f88b595a68799fa152e6f8f7647aac7957"));
}

// k and u start as the base point; each round k, u = X25519(k, u), k.
Bytes32 iterate(int rounds)
{
    Bytes32 k{9};
    Bytes32 u{9};
    for (int i = 0; i < rounds; ++i) {
        const Bytes32 next = x25519(k, u);
        u = k;
        k = next;
    }
    return k;
}

TEST(Curve25519, MatchesTheIteratedVectorAfterOneRound)
{
    EXPECT_EQ(iterate(1),
              hex_array<32>("422c8e7a6227d7bca1350b3e2bb7279f7897b87bb6854b783c60e80311ae3079"));
}

TEST(Curve25519, MatchesTheIteratedVectorAfterAThousandRounds)
{
    EXPECT_EQ(iterate(1000),
              hex_array<32>("684cf59ba83309552800ef566f2f4d3c1c3887c49360e3875f2eb94d99532c51"));
}

class Curve25519DiffieHellman : public testing::Test {
protected:
    const Bytes32 alice_private = hex_array<32>("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a");
    const Bytes32 alice_public = hex_array<32>("8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a");
    const Bytes32 bob_private = hex_array<32>("5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb");
    const Bytes32 bob_public = hex_array<32>("de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f");
    const Bytes32 shared = hex_array<32>("4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742");
    const Bytes32 base_point{9};
};

TEST_F(Curve25519DiffieHellman, DerivesBothPublicKeysFromTheBasePoint)
{
    EXPECT_EQ(x25519(alice_private, base_point), alice_public);
    EXPECT_EQ(x25519(bob_private, base_point), bob_public);
}

TEST_F(Curve25519DiffieHellman, GivesBothSidesTheSameSharedSecret)
{
    EXPECT_EQ(x25519(alice_private, bob_public), shared);
    EXPECT_EQ(x25519(bob_private, alice_public), shared);
}

class Curve25519SmallOrder : public testing::TestWithParam<const char*> {};

TEST_P(Curve25519SmallOrder, FailsWithAnAllZeroOutput)
{
    const auto scalar = hex_array<32>("a546e36bf0527c9d3b16154b82465edd62144c0ac1fc5a18506a2244ba449ac4");
    Bytes32 out;
    out.fill(0xEE);
    EXPECT_NE(curve25519_donna(out, scalar, hex_array<32>(GetParam())), 0);
    EXPECT_EQ(out, Bytes32{});
}

INSTANTIATE_TEST_SUITE_P(KnownPoints, Curve25519SmallOrder, testing::ValuesIn(small_order_points),
                         small_order_point_name);

} // namespace
