// The reply state on its own: headers, placement by arrival order and
// reassembly, as byte tables of the notifications on characteristic 4.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "byte_tables.h"
#include "tunnel/receive_state.h"

namespace {

using Progress = ReceiveState::Progress;

Bytes operator+(Bytes head, const Bytes &tail)
{
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

// A notification: prefix byte, then data.
Bytes notification(std::uint8_t prefix, const Bytes &data) { return Bytes{prefix} + data; }

// The state of a transfer that waits for its reply.
void await_reply(ReceiveState &state, bool header_in_first_fragment)
{
    state.prepare(header_in_first_fragment);
    state.wait([](Wake) {});
}

std::vector<Progress> receive_all(ReceiveState &state, const std::vector<Bytes> &notifications)
{
    std::vector<Progress> progress;
    for (const auto &value : notifications)
        progress.push_back(state.receive(value));
    return progress;
}

TEST(ShortReply, OneFragmentHoldingHeaderAndSixBytesCompletesTheReply)
{
    ReceiveState state;
    await_reply(state, true);
    EXPECT_EQ(state.receive(hex("00 0A 00 00 14 A1 A2 A3 A4 A5 A6")), Progress::Complete);
    const Reassembly reply = state.reassemble();
    EXPECT_EQ(reply.bytes, hex("0A 00 00 14 A1 A2 A3 A4 A5 A6"));
    EXPECT_TRUE(reply.whole);
}

TEST(ShortReply, AFragmentFilledPastTheTotalIsLeftOutWhole)
{
    ReceiveState state;
    await_reply(state, true);
    // 20 data bytes where the header announces 10 in all.
    EXPECT_EQ(state.receive(hex("00 0A 00 00 14 A1 A2 A3 A4 A5 A6 00 00 00 00 00 00 00 00 00 00")),
              Progress::Complete);
    const Reassembly reply = state.reassemble();
    EXPECT_EQ(reply.bytes, Bytes(10, 0));
    EXPECT_FALSE(reply.whole);
}

TEST(ShortReply, AHeaderOf300BytesIn20sExpects15FragmentsAndCompletesAtThe15th)
{
    ReceiveState state;
    await_reply(state, true);
    EXPECT_EQ(state.receive(notification(0x01, hex("2C 01 00 14") + counting(16))), Progress::Incomplete);
    EXPECT_EQ(state.total_length(), 300);
    EXPECT_EQ(state.fragment_size(), 20);
    EXPECT_EQ(state.expected_fragments(), 15);
    for (int k = 1; k < 14; ++k)
        EXPECT_EQ(state.receive(notification(static_cast<std::uint8_t>(k), counting(20))), Progress::Incomplete);
    EXPECT_EQ(state.receive(notification(0x0E, counting(20))), Progress::Complete);
    EXPECT_TRUE(state.reassemble().whole);
}

// Another program subscribed to characteristic 4: BlueZ signals every
// fragment once for each subscriber, and the copy of a reply's last
// fragment may come when the next reply is awaited. The tunnel then has
// BlueZ answer a call before the next request: a repeat after that answer is
// the reader's.
TEST(ShortReply, EachFragmentSignalledTwiceInARowIsTakenOnce)
{
    ReceiveState state;
    await_reply(state, true);
    const Bytes first = notification(0x00, hex("1E 00 00 14") + counting(16));
    const Bytes second = notification(0x01, Bytes(10, 0xB2));
    EXPECT_EQ(receive_all(state, {first, first, second}),
              (std::vector<Progress>{Progress::Incomplete, Progress::Incomplete, Progress::Complete}));
    EXPECT_EQ(state.reassemble().bytes, hex("1E 00 00 14") + counting(16) + Bytes(10, 0xB2));

    await_reply(state, true);
    EXPECT_TRUE(state.copy_may_precede_answer());
    const Bytes next = notification(0x00, hex("06 00 00 14 C1 C2"));
    EXPECT_EQ(receive_all(state, {second, next}), (std::vector<Progress>{Progress::Incomplete, Progress::Complete}));
    EXPECT_EQ(state.reassemble().bytes, hex("06 00 00 14 C1 C2"));

    await_reply(state, true);
    EXPECT_EQ(receive_all(state, {next}), std::vector<Progress>{Progress::Incomplete});
    state.bluez_answered();
    EXPECT_FALSE(state.copy_may_precede_answer());
    EXPECT_EQ(state.receive(next), Progress::Complete);
}

// A reader that refuses the session key answers every request for it with
// the same bytes, whether or not BlueZ answered a call in between.
TEST(ShortReply, TheSameReplyToTwoRequestsInARowIsTakenBothTimes)
{
    const Bytes refusal = notification(0x00, hex("05 00 00 14 03"));
    ReceiveState state;
    for (bool answer_between : {false, false, true}) {
        await_reply(state, true);
        if (answer_between)
            state.bluez_answered();
        EXPECT_EQ(state.receive(refusal), Progress::Complete);
        EXPECT_EQ(state.reassemble().bytes, hex("05 00 00 14 03"));
    }
    EXPECT_FALSE(state.copy_may_precede_answer());
}

TEST(ShortReply, AFirstFragmentOfThreeBytesLeavesTheExpectedCountAt256)
{
    ReceiveState state;
    await_reply(state, true);
    EXPECT_EQ(state.receive(hex("00 0A 00 00")), Progress::Incomplete);
    EXPECT_EQ(state.receive(hex("01 0A 00 00 14 A1 A2")), Progress::Incomplete);
    EXPECT_EQ(state.expected_fragments(), 256);
    EXPECT_EQ(state.total_length(), 0);
}

TEST(ShortReply, AnEmptyNotificationIsAFragmentWithoutData)
{
    ReceiveState state;
    await_reply(state, true);
    EXPECT_EQ(state.receive({}), Progress::Incomplete);
    EXPECT_EQ(state.received_fragments(), 1);
}

// Headers that announce a reply no one can collect.
struct UnusableCase {
    const char *name;
    const char *header;
};

class UnusableHeader : public testing::TestWithParam<UnusableCase> {};

TEST_P(UnusableHeader, IsUnusableInEitherFraming)
{
    ReceiveState in_first_fragment;
    await_reply(in_first_fragment, true);
    EXPECT_EQ(in_first_fragment.receive(notification(0, hex(GetParam().header))), Progress::Unusable);
    ReceiveState read_from_3;
    await_reply(read_from_3, false);
    EXPECT_EQ(read_from_3.take_header(hex(GetParam().header)), Progress::Unusable);
}

INSTANTIATE_TEST_SUITE_P(Headers, UnusableHeader,
                         testing::Values(UnusableCase{"ZeroFragmentSize", "2C 01 00 00"},
                                         UnusableCase{"ZeroTotal", "00 00 00 13"},
                                         UnusableCase{"MoreThan256Fragments", "2C 01 00 01"}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(LongReply, AHeaderOfThreeBytesIsUnusable)
{
    ReceiveState state;
    await_reply(state, false);
    EXPECT_EQ(state.take_header(hex("2C 01 00")), Progress::Unusable);
}

// The fragments overtook the answer to the header read.
TEST(LongReply, FragmentsBeforeTheHeaderCompleteItOrOutnumberIt)
{
    ReceiveState state;
    await_reply(state, false);
    receive_all(state, {notification(0, counting(20)), notification(1, counting(5, 20))});
    EXPECT_EQ(state.take_header(hex("19 00 00 14")), Progress::Complete);
    EXPECT_EQ(state.reassemble().bytes, counting(25));

    await_reply(state, false);
    receive_all(state, {notification(0, counting(20)), notification(1, counting(5, 20))});
    EXPECT_EQ(state.take_header(hex("05 00 00 14")), Progress::Unusable);
}

// With EATT, bluetoothd may signal notifications out of order. Rows: the
// prefixes in arrival order; the data of arrival k is the reply's part that
// the row's reader meant for that place.
struct PlacementCase {
    const char *name;
    std::vector<std::uint8_t> prefixes;
    std::vector<int> parts;
};

class FragmentPlacement : public testing::TestWithParam<PlacementCase> {};

TEST_P(FragmentPlacement, ByTheirNumberWhereTheReaderNumbersThemElseByArrival)
{
    ReceiveState state;
    await_reply(state, false);
    ASSERT_EQ(state.take_header(hex("50 00 00 14")), Progress::Incomplete); // 80 bytes in 4 fragments
    std::vector<Bytes> notifications;
    for (std::size_t k = 0; k < 4; ++k) {
        const auto part = static_cast<std::uint8_t>(20 * GetParam().parts[k]);
        notifications.push_back(notification(GetParam().prefixes[k], counting(20, part)));
    }
    EXPECT_EQ(receive_all(state, notifications).back(), Progress::Complete);
    const Reassembly reply = state.reassemble();
    EXPECT_EQ(reply.bytes, counting(80));
    EXPECT_TRUE(reply.whole);
}

INSTANTIATE_TEST_SUITE_P(LongReply, FragmentPlacement,
                         testing::Values(PlacementCase{"NumberedInOrder", {0, 1, 2, 3}, {0, 1, 2, 3}},
                                         PlacementCase{"NumberedOutOfOrder", {0, 2, 1, 3}, {0, 2, 1, 3}},
                                         PlacementCase{"NumberedBackwards", {3, 2, 1, 0}, {3, 2, 1, 0}},
                                         PlacementCase{"AllTheSamePrefix", {7, 7, 7, 7}, {0, 1, 2, 3}},
                                         PlacementCase{"CountingFromOne", {1, 2, 3, 4}, {0, 1, 2, 3}}),
                         [](const auto &info) { return std::string(info.param.name); });

// A reader seen numbering its fragments: the header of a short reply is in
// fragment 0, which may come after fragment 1.
TEST(ShortReply, ANumberingReadersHeaderIsTakenFromFragmentZeroWhereverItComes)
{
    ReceiveState state;
    await_reply(state, true);
    const Bytes first = notification(0x00, hex("1E 00 00 14") + counting(16));
    const Bytes second = notification(0x01, counting(10, 16));
    EXPECT_EQ(receive_all(state, {first, second}).back(), Progress::Complete);

    await_reply(state, true);
    EXPECT_EQ(receive_all(state, {second, first}), (std::vector<Progress>{Progress::Incomplete, Progress::Complete}));
    EXPECT_EQ(state.reassemble().bytes, hex("1E 00 00 14") + counting(26));
}

TEST(LongReply, MissingFragmentsLeaveZeros)
{
    ReceiveState state;
    await_reply(state, false);
    state.take_header(hex("2C 01 00 14"));
    for (int k = 0; k < 5; ++k)
        state.receive(notification(0, counting(20, static_cast<std::uint8_t>(20 * k))));
    Bytes expected = counting(300);
    std::fill(expected.begin() + 100, expected.end(), 0);
    const Reassembly reply = state.reassemble();
    EXPECT_EQ(reply.bytes, expected);
    EXPECT_FALSE(reply.whole);
}

TEST(LongReply, ALastFragmentLongerThanTheRestIsLeftOut)
{
    ReceiveState state;
    await_reply(state, false);
    state.take_header(hex("19 00 00 14")); // 25 bytes: 20 and 5
    receive_all(state, {notification(0, counting(20)), notification(1, counting(6, 20))});
    Bytes expected = counting(25);
    std::fill(expected.begin() + 20, expected.end(), 0);
    EXPECT_EQ(state.reassemble().bytes, expected);
    EXPECT_FALSE(state.reassemble().whole);
}

TEST(LongReply, AShortMiddleFragmentMakesTheReplyIncomplete)
{
    ReceiveState state;
    await_reply(state, false);
    state.take_header(hex("19 00 00 14"));
    receive_all(state, {notification(0, counting(19)), notification(1, counting(5, 20))});
    EXPECT_FALSE(state.reassemble().whole);
}

TEST(LongReply, FragmentsBeyondTheExpectedCountAreNotStored)
{
    ReceiveState state;
    await_reply(state, false);
    state.take_header(hex("05 00 00 14"));
    EXPECT_EQ(state.receive(notification(0, counting(5))), Progress::Complete);
    EXPECT_EQ(state.receive(notification(1, hex("EE EE"))), Progress::Incomplete);
    EXPECT_EQ(state.received_fragments(), 1);
    EXPECT_EQ(state.reassemble().bytes, counting(5));
}

TEST(Preparing, ClearsTheLastReplysSizeAndFragments)
{
    ReceiveState state;
    state.prepare(true);
    state.receive(hex("00 0A 00 00 14 A1 A2 A3 A4 A5 A6"));
    state.prepare(true);
    EXPECT_EQ(state.total_length(), 0);
    EXPECT_EQ(state.fragment_size(), 0);
    EXPECT_EQ(state.received_fragments(), 0);
    EXPECT_EQ(state.expected_fragments(), 256);
    EXPECT_TRUE(state.reassemble().bytes.empty());
}

TEST(Waiting, TakingTheContinuationEndsTheWaitAndLeavesNoneBehind)
{
    ReceiveState state;
    state.prepare(true);
    std::vector<Wake> wakes;
    state.wait([&](Wake wake) { wakes.push_back(wake); });
    EXPECT_TRUE(state.waiting());
    auto continuation = state.take_continuation();
    EXPECT_FALSE(state.waiting());
    EXPECT_EQ(state.take_continuation(), nullptr);
    continuation(Wake::Silence);
    EXPECT_EQ(wakes, std::vector<Wake>{Wake::Silence});
}

} // namespace
