#include "sim/reply_framing.h"

#include <gtest/gtest.h>

#include "tests/sim/hex_bytes.h"

using namespace pemra_sim;

namespace {

Bytes counting(std::size_t size)
{
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(i);
    return bytes;
}

} // namespace

TEST(ReplyFraming, AShortReplyStartsItsFirstFragmentWithTheHeaderCountingItself)
{
    const auto framed = frame_reply(unhex("ff"), Framing::Short, 20);
    EXPECT_TRUE(framed.header.empty());
    ASSERT_EQ(framed.notifications.size(), 1u);
    EXPECT_EQ(framed.notifications[0], unhex("00 0500 00 13 ff"));
}

TEST(ReplyFraming, ShortFragmentsCarryNineteenBytesAfterTheirIndexPrefix)
{
    const auto framed = frame_reply(counting(40), Framing::Short, 20);
    ASSERT_EQ(framed.notifications.size(), 3u);
    EXPECT_EQ(framed.notifications[0].size(), 20u);
    EXPECT_EQ(framed.notifications[1][0], 1);
    EXPECT_EQ(framed.notifications[1][1], 15); // reply byte 15 follows the 4 header bytes and 15 bytes
    EXPECT_EQ(framed.notifications[2], unhex("02 22 23 24 25 26 27"));
}

TEST(ReplyFraming, ALongReplyPutsItsHeaderOnCharacteristicThreeAndCountsTheReplyOnly)
{
    const auto framed = frame_reply(counting(33), Framing::Long, 20);
    EXPECT_EQ(framed.header, unhex("21 00 00 13"));
    ASSERT_EQ(framed.notifications.size(), 2u);
    EXPECT_EQ(framed.notifications[0].size(), 20u);
    EXPECT_EQ(framed.notifications[1], unhex("01 13 14 15 16 17 18 19 1a 1b 1c 1d 1e 1f 20"));
}

TEST(ReplyFraming, ALargerNotifySizeGivesLargerFragments)
{
    const auto framed = frame_reply(counting(300), Framing::Long, 185);
    EXPECT_EQ(framed.header, unhex("2c 01 00 b8"));
    ASSERT_EQ(framed.notifications.size(), 2u);
    EXPECT_EQ(framed.notifications[0].size(), 185u);
}

TEST(ReplyFraming, AnEmptyLongReplyHasAHeaderAndNoFragments)
{
    const auto framed = frame_reply({}, Framing::Long, 20);
    EXPECT_EQ(framed.header, unhex("00 00 00 13"));
    EXPECT_TRUE(framed.notifications.empty());
}

TEST(ReplyFraming, TheLargestReplyFillsExactly256Fragments)
{
    EXPECT_EQ(max_reply_size(Framing::Long, 20), 256u * 19);
    EXPECT_EQ(max_reply_size(Framing::Short, 20), 256u * 19 - 4);
    EXPECT_EQ(max_reply_size(Framing::Long, 256), 256u * 255);
    EXPECT_EQ(frame_reply(counting(256 * 19 - 4), Framing::Short, 20).notifications.size(), 256u);
}

TEST(ReplyFraming, HeaderFaultsChangeOnlyWhatTheyName)
{
    FramingFaults faults;
    faults.zero_fragment_size = true;
    EXPECT_EQ(frame_reply(counting(33), Framing::Long, 20, faults).header, unhex("21 00 00 00"));
    faults = {};
    faults.zero_total = true;
    EXPECT_EQ(frame_reply(counting(33), Framing::Long, 20, faults).header, unhex("00 00 00 13"));
    faults = {};
    faults.short_header = true;
    const auto short_framed = frame_reply(unhex("ff"), Framing::Short, 20, faults);
    EXPECT_EQ(short_framed.notifications[0], unhex("00 05 00 00"));
    EXPECT_EQ(short_framed.notifications[1], unhex("01 ff"));
    EXPECT_EQ(frame_reply(counting(33), Framing::Long, 20, faults).header, unhex("21 00 00"));
}

TEST(ReplyFraming, TooManyFragmentsPadsTheReplyAndSendsOneByteEach)
{
    FramingFaults faults;
    faults.too_many_fragments = true;
    const auto framed = frame_reply(counting(10), Framing::Long, 20, faults);
    EXPECT_EQ(framed.header, unhex("2c 01 00 01"));
    EXPECT_EQ(framed.notifications.size(), 300u);
    EXPECT_EQ(framed.notifications[299], unhex("2b 00"));
    const auto short_framed = frame_reply(counting(10), Framing::Short, 20, faults);
    EXPECT_EQ(short_framed.notifications[0], unhex("00 30 01 00 01"));
    EXPECT_EQ(short_framed.notifications.size(), 301u);
}

TEST(ReplyFraming, OversizedFragmentsCarryOneByteMoreThanAnnounced)
{
    FramingFaults faults;
    faults.oversized_fragments = true;
    const auto framed = frame_reply(counting(33), Framing::Long, 20, faults);
    EXPECT_EQ(framed.header, unhex("21 00 00 12"));
    EXPECT_EQ(framed.notifications[0].size(), 20u);
}
