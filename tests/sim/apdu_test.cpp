#include "sim/apdu.h"

#include <gtest/gtest.h>

#include "tests/sim/hex_bytes.h"

using namespace pemra_sim;

namespace {

struct Case {
    const char *apdu;
    std::size_t data_size;
    std::optional<std::size_t> le;
};

} // namespace

TEST(ParseCommand, ReadsEveryCaseOfShortAndExtendedLength)
{
    const Case cases[] = {
        {"00a40000", 0, std::nullopt},             // case 1
        {"00b0000010", 0, 16},                     // case 2S
        {"00b0000000", 0, 256},                    // case 2S, Le 0 is 256
        {"00a4040c02aabb", 2, std::nullopt},       // case 3S
        {"00a4040002aabb00", 2, 256},              // case 4S
        {"00b00000000200", 0, 512},                // case 2E
        {"00b00000000000", 0, 65536},              // case 2E, Le 0000 is 65536
        {"80ee0000000002aabb", 2, std::nullopt},   // case 3E
        {"80ee0000000002aabb0100", 2, 256},        // case 4E
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.apdu);
        const auto command = parse_command(unhex(c.apdu));
        ASSERT_TRUE(command);
        EXPECT_EQ(command->data.size(), c.data_size);
        EXPECT_EQ(command->le, c.le);
    }
}

TEST(ParseCommand, RefusesLengthsThatDoNotMatchTheBody)
{
    for (const char *apdu : {"00a400", "00a4040c03aabb", "00a4040c02aabb0000", "00b0000000000001", "80ee00000000",
                             "80ee0000000003aabb"}) {
        SCOPED_TRACE(apdu);
        EXPECT_FALSE(parse_command(unhex(apdu)));
    }
}

TEST(ParseCommand, KeepsTheHeaderBytes)
{
    const auto command = parse_command(unhex("80ee0102"));
    ASSERT_TRUE(command);
    EXPECT_EQ(command->cla, 0x80);
    EXPECT_EQ(command->ins, 0xee);
    EXPECT_EQ(command->p1, 0x01);
    EXPECT_EQ(command->p2, 0x02);
}
