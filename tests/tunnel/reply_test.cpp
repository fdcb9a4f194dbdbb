// How replies come back: reassembly by arrival order, disconnects, failed
// calls, broken headers, and the bound on a silent reader.

#include "tunnel_fixture.h"

#include <algorithm>

namespace {

using Replies = TunnelTest;

// Notifications of 21 bytes carry fragments of 20.
const SimControl::ReaderOptions fragments_of_20{{"notify-size", Glib::Variant<guint32>::create(21)}};

TEST_F(Replies, AShortReplyIsTheFirstFragmentsDataAfterTheHeader)
{
    auto tunnel = connect_reader();
    EXPECT_EQ(transfer(*tunnel, hex("55")).reply, hex("FF"));
    EXPECT_EQ(logged(reader, "notify", "4"), std::vector<Bytes>{hex("00 05 00 00 13 FF")});
}

TEST_F(Replies, ALongReplyOf300BytesComesIn15FragmentsOf20InArrivalOrder)
{
    auto tunnel = connect_reader(fragments_of_20);
    sim.set_fault(reader, "plain-reply-bytes", 300);
    const TransferOutcome outcome = transfer(*tunnel, counting(30));
    EXPECT_FALSE(outcome.failure);
    EXPECT_EQ(outcome.reply, counting(300));
    const auto fragments = logged(reader, "notify", "4");
    ASSERT_EQ(fragments.size(), 15u);
    EXPECT_TRUE(std::ranges::all_of(fragments, [](const Bytes &f) { return f.size() == 21; }));
}

// The real bluetoothd now and then signals a reader's first fragments before
// its answer to the read of the header.
TEST_F(Replies, ALongReplyWhoseFragmentsOvertakeTheHeadersAnswerComesWhole)
{
    auto tunnel = connect_reader(fragments_of_20);
    for (int size : {300, 15}) {
        sim.set_fault(reader, "plain-reply-bytes", size);
        sim.set_fault(reader, "header-answer-last", 1);
        const TransferOutcome outcome = transfer(*tunnel, counting(30));
        EXPECT_FALSE(outcome.failure) << size;
        EXPECT_EQ(outcome.reply, counting(static_cast<std::size_t>(size)));
    }
}

TEST_F(Replies, AShortReplyOf300BytesLosesOnlyItsHeader)
{
    auto tunnel = connect_reader(fragments_of_20);
    sim.set_fault(reader, "plain-reply-bytes", 300);
    EXPECT_EQ(transfer(*tunnel, counting(3)).reply, counting(300));
    EXPECT_EQ(logged(reader, "notify", "4").size(), 16u);
}

TEST_F(Replies, ADisconnectAfter5Of15FragmentsGivesZerosFromByte100AfterDisconnected)
{
    auto tunnel = connect_reader(fragments_of_20);
    sim.set_fault(reader, "plain-reply-bytes", 300);
    sim.set_fault(reader, "disconnect-after-fragments", 5);
    std::vector<std::string> order;
    tunnel->signal_disconnected.connect([&] { order.push_back("disconnected"); });
    TransferOutcome outcome;
    tunnel->transfer(counting(30), [&](Outcome<Bytes> reply) {
        order.push_back("completed");
        outcome = outcome_of(std::move(reply));
    });
    ASSERT_TRUE(run_until([&] { return outcome.completed; }));
    Bytes expected = counting(300);
    std::fill(expected.begin() + 100, expected.end(), 0);
    EXPECT_FALSE(outcome.failure);
    EXPECT_EQ(outcome.reply, expected);
    EXPECT_EQ(order, (std::vector<std::string>{"disconnected", "completed"}));
}

TEST_F(Replies, AFailedWriteOnCharacteristic1EndsTheLongTransferWithItsError)
{
    auto tunnel = connect_reader();
    sim.set_fault(reader, "fail-write-1", 1);
    const TransferOutcome outcome = transfer(*tunnel, counting(30));
    EXPECT_EQ(outcome.failure, Failure::BusError);
    EXPECT_TRUE(outcome.reply.empty());
    run_for(50ms);
    EXPECT_TRUE(writes(2).empty());
    EXPECT_EQ(reads(3), 0u);
}

TEST_F(Replies, AFailedReadOfTheHeaderEndsTheLongTransferWithItsError)
{
    auto tunnel = connect_reader();
    sim.set_fault(reader, "fail-read-3", 1);
    const TransferOutcome outcome = transfer(*tunnel, counting(30));
    EXPECT_EQ(outcome.failure, Failure::BusError);
}

TEST_F(Replies, AThreeByteHeaderFailsWithoutWaiting)
{
    auto tunnel = connect_reader();
    sim.set_fault(reader, "short-header", 1);
    const TransferOutcome outcome = transfer(*tunnel, counting(30), 1s);
    EXPECT_TRUE(outcome.completed);
    EXPECT_EQ(outcome.failure, Failure::NoReply);
}

// Headers that announce no reply the tunnel can collect end the transfer
// at once without a reply, in either framing.
class UnusableHeader : public TunnelTest, public testing::WithParamInterface<std::tuple<const char *, std::size_t>> {};

TEST_P(UnusableHeader, FailsAtOnce)
{
    const auto [fault, message_size] = GetParam();
    auto tunnel = connect_reader();
    sim.set_fault(reader, "plain-reply-bytes", 100);
    sim.set_fault(reader, fault, 1);
    const TransferOutcome outcome = transfer(*tunnel, counting(message_size), 1s);
    EXPECT_TRUE(outcome.completed);
    EXPECT_EQ(outcome.failure, Failure::NoReply);
}

INSTANTIATE_TEST_SUITE_P(Replies, UnusableHeader,
                         testing::Combine(testing::Values("header-zero-fragment-size", "header-zero-total",
                                                          "header-too-many-fragments"),
                                          testing::Values(std::size_t{3}, std::size_t{30})),
                         [](const auto &info) {
                             std::string name = std::get<0>(info.param);
                             std::ranges::replace(name, '-', '_');
                             return name + (std::get<1>(info.param) == 3 ? "_short" : "_long");
                         });

TEST_F(Replies, NotificationsWhileNoTransferWaitsAreDropped)
{
    auto tunnel = connect_reader({{"notify-size", Glib::Variant<guint32>::create(185)}});
    sim.set_fault(reader, "plain-reply-bytes", 400);
    // A request that goes past the tunnel: its reply finds no transfer.
    auto request = std::make_shared<GattCharacteristic>(bus, characteristic_of(reader, 7));
    request->write_value(hex("01 00 55"), nullptr);
    run_until([&] { return logged(reader, "notify", "4").size() == 3; });
    run_for(50ms);
    EXPECT_EQ(tunnel->chunk_size(), 20u);
    sim.set_fault(reader, "plain-reply-bytes", 0);
    EXPECT_EQ(transfer(*tunnel, hex("55")).reply, hex("FF"));
}

TEST_F(Replies, ASilentReaderFailsTheWaitAfterTheBound)
{
    auto tunnel = connect_reader();
    tunnel->set_silence_bound(300ms);
    sim.set_fault(reader, "silent", 1);
    const auto started = std::chrono::steady_clock::now();
    const TransferOutcome outcome = transfer(*tunnel, counting(3));
    EXPECT_TRUE(outcome.completed);
    EXPECT_EQ(outcome.failure, Failure::NoReply);
    EXPECT_GE(std::chrono::steady_clock::now() - started, 300ms);
}

TEST_F(Replies, AReaderFallingSilentAfterItsHeaderEndsTheLongWaitAfterTheBound)
{
    auto tunnel = connect_reader();
    tunnel->set_silence_bound(300ms);
    sim.set_fault(reader, "plain-reply-bytes", 100);
    sim.set_fault(reader, "fragment-interval-ms", 1000);
    const auto started = std::chrono::steady_clock::now();
    const TransferOutcome outcome = transfer(*tunnel, counting(30));
    EXPECT_EQ(outcome.failure, Failure::NoReply);
    EXPECT_GE(std::chrono::steady_clock::now() - started, 300ms);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1000ms);
}

TEST_F(Replies, TheSilenceBoundCountsFromTheLastFragment)
{
    auto tunnel = connect_reader();
    // Gaps well below the bound, so that a loaded machine does not stretch
    // one beyond it; the whole reply takes twice the bound.
    tunnel->set_silence_bound(500ms);
    sim.set_fault(reader, "plain-reply-bytes", 100); // 6 fragments, 200 ms apart: 1 s in all
    sim.set_fault(reader, "fragment-interval-ms", 200);
    EXPECT_EQ(transfer(*tunnel, counting(3)).reply, counting(100));
}

TEST_F(Replies, AReplyTricklingInForLongerThanTheTimeLimitFails)
{
    auto tunnel = connect_reader();
    tunnel->set_silence_bound(500ms);
    tunnel->set_time_limit(600ms);
    sim.set_fault(reader, "plain-reply-bytes", 100); // 6 fragments, 200 ms apart: 1 s in all
    sim.set_fault(reader, "fragment-interval-ms", 200);
    EXPECT_EQ(transfer(*tunnel, counting(3)).failure, Failure::DeadlinePassed);
}

TEST_F(Replies, AShortTransferWokenBeforeItsFirstFragmentIsEmptyNotTheLastReplysSize)
{
    auto tunnel = connect_reader();
    sim.set_fault(reader, "plain-reply-bytes", 100);
    ASSERT_EQ(transfer(*tunnel, counting(3)).reply, counting(100));
    sim.set_fault(reader, "silent", 1);
    TransferOutcome outcome;
    start_transfer(*tunnel, counting(3), outcome);
    run_until([&] { return !logged(reader, "silent", "").empty(); });
    sim.set_connected(reader, false);
    ASSERT_TRUE(run_until([&] { return outcome.completed; }));
    EXPECT_TRUE(outcome.reply.empty());
}

} // namespace
