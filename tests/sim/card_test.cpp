#include "sim/card.h"

#include <gtest/gtest.h>

#include "tests/sim/hex_bytes.h"

using namespace pemra_sim;

TEST(Card, TheAtrOffersT0AndT1AndEndsWithItsCheckByte)
{
    const Bytes atr = Card(1000).atr();
    EXPECT_EQ(Bytes(atr.begin(), atr.begin() + 4), unhex("3b888001"));
    std::uint8_t check = 0;
    for (std::size_t i = 1; i < atr.size(); ++i)
        check ^= atr[i];
    EXPECT_EQ(check, 0);
}

TEST(Card, SelectWithFcpDescribesTheFile)
{
    Card card(1000);
    EXPECT_EQ(card.process(unhex("00a4040c09f050454d524153494d")), unhex("9000"));
    EXPECT_EQ(card.process(unhex("00a402040250010" "0")), unhex("620b 820101 83025001 8002012c 9000"));
}

TEST(Card, AnswersLongerThanTheReaderCarriesAreRefused)
{
    Card card(10);
    EXPECT_EQ(card.process(unhex("80ee000008")), unhex("0001020304050607 9000"));
    EXPECT_EQ(card.process(unhex("80ee000009")), unhex("6700"));
}

TEST(Card, AResetForgetsThePinAndTheSelection)
{
    Card card(1000);
    card.process(unhex("00a4040c09f050454d524153494d"));
    card.process(unhex("00a4020c025002"));
    EXPECT_EQ(card.process(unhex("0020008106313233343536")), unhex("9000"));
    card.reset();
    EXPECT_EQ(card.process(unhex("00b0000001")), unhex("6986"));
    card.process(unhex("00a4040c09f050454d524153494d"));
    card.process(unhex("00a4020c025002"));
    EXPECT_EQ(card.process(unhex("00b0000001")), unhex("6982"));
}

TEST(Card, ThreeWrongPinsBlockVerify)
{
    Card card(1000);
    EXPECT_EQ(card.process(unhex("00200081023030")), unhex("63c2"));
    EXPECT_EQ(card.process(unhex("00200081023030")), unhex("63c1"));
    EXPECT_EQ(card.process(unhex("00200081023030")), unhex("6983"));
    EXPECT_EQ(card.process(unhex("0020008106313233343536")), unhex("6983"));
}
