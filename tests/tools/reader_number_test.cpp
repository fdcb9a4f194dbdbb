#include <gtest/gtest.h>

#include "tools/reader_number.h"

namespace {

TEST(ReaderNumber, IsReadInDecimalAfterBlanksAndASignUpToTheFirstNonDigit)
{
    EXPECT_EQ(parse_reader_number("3"), 3);
    EXPECT_EQ(parse_reader_number("  +3"), 3);
    EXPECT_EQ(parse_reader_number(" -2"), -2);
    EXPECT_EQ(parse_reader_number("7th"), 7);
    EXPECT_EQ(parse_reader_number("010"), 10);
    EXPECT_EQ(parse_reader_number("0x10"), 0);
}

TEST(ReaderNumber, TextWithoutDigitsReadsAsZero)
{
    EXPECT_EQ(parse_reader_number(""), 0);
    EXPECT_EQ(parse_reader_number("first"), 0);
    EXPECT_EQ(parse_reader_number("-"), 0);
}

TEST(ReaderNumber, AHugeNumberKeepsItsSign)
{
    EXPECT_GT(parse_reader_number("99999999999999999999999"), 0);
    EXPECT_LT(parse_reader_number("-99999999999999999999999"), 0);
    // Wraps to zero in 32 bits.
    EXPECT_GT(parse_reader_number("4294967296"), 0);
}

TEST(ReaderNumber, OnlyNumbersOfZeroOrLessLetTheFirstReaderBeTried)
{
    EXPECT_TRUE(tries_first_reader(no_reader_number));
    EXPECT_TRUE(tries_first_reader(0));
    EXPECT_TRUE(tries_first_reader(-7));
    EXPECT_FALSE(tries_first_reader(1));
    EXPECT_FALSE(tries_first_reader(parse_reader_number("99999999999999999999999")));
}

} // namespace
