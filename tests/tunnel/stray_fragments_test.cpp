// The rest of a reply that the tunnel gave up on must never be taken for
// the next reply: the next transfer waits until the link has been quiet.
// A reply that went well costs nothing.

#include "tunnel_fixture.h"

#include <algorithm>
#include <iterator>

namespace {

using StrayFragments = TunnelTest;

TEST_F(StrayFragments, TheRestOfAnAbandonedReplyNeverStartsTheNextOne)
{
    auto tunnel = connect_reader();
    // 6 fragments, 50 ms apart; the tunnel gives up at the first one.
    sim.set_fault(reader, "plain-reply-bytes", 100);
    sim.set_fault(reader, "fragment-interval-ms", 50);
    sim.set_fault(reader, "header-zero-fragment-size", 1);
    TransferOutcome first, second;
    tunnel->transfer(counting(3), [&](Outcome<Bytes> reply) {
        first = outcome_of(std::move(reply));
        start_transfer(*tunnel, counting(3), second);
    });
    ASSERT_TRUE(run_until([&] { return second.completed; }));
    EXPECT_EQ(first.failure, Failure::NoReply);
    EXPECT_EQ(second.reply, counting(100));
    // Every fragment of the first reply went out before the next request.
    std::vector<std::string> calls_and_fragments;
    std::ranges::copy_if(events(), std::back_inserter(calls_and_fragments),
                         [](const std::string &line) { return line == "write 7" || line == "notify 4"; });
    std::vector<std::string> expected;
    for (int transfer = 0; transfer < 2; ++transfer) {
        expected.push_back("write 7");
        expected.insert(expected.end(), 6, "notify 4");
    }
    EXPECT_EQ(calls_and_fragments, expected);
}

TEST_F(StrayFragments, TheRestOfAReplyAbandonedForSilenceIsDroppedToo)
{
    auto tunnel = connect_reader();
    tunnel->set_silence_bound(40ms);
    // 6 fragments 100 ms apart: the tunnel gives up between two of them. The
    // gaps stay well below the settle time, so that the rest of the reply
    // still counts as traffic when a loaded machine stretches them.
    sim.set_fault(reader, "plain-reply-bytes", 100);
    sim.set_fault(reader, "fragment-interval-ms", 100);
    EXPECT_TRUE(transfer(*tunnel, counting(3)).reply.empty());
    // The usual bound again: a loaded machine may take longer than 40 ms to
    // answer the next request.
    tunnel->set_silence_bound(PemraTunnelService::default_silence_bound);
    sim.set_fault(reader, "fragment-interval-ms", 0);
    // Another reply: a reader's replies never repeat one another (each is a
    // new ciphertext), and a repeat would be taken for BlueZ's copy of one.
    sim.set_fault(reader, "plain-reply-bytes", 90);
    EXPECT_EQ(transfer(*tunnel, counting(3)).reply, counting(90));
}

TEST_F(StrayFragments, MoreThan256FragmentsAreDroppedUntilTheLinkIsQuiet)
{
    auto tunnel = connect_reader();
    sim.set_fault(reader, "header-too-many-fragments", 1); // 300 one-byte fragments
    EXPECT_TRUE(transfer(*tunnel, counting(30)).reply.empty());
    sim.set_fault(reader, "plain-reply-bytes", 100);
    EXPECT_EQ(transfer(*tunnel, counting(3)).reply, counting(100));
}

TEST_F(StrayFragments, AReplyMarkedUnusableHoldsTheNextTransferForTheSettleTime)
{
    auto tunnel = connect_reader();
    ASSERT_EQ(transfer(*tunnel, counting(3)).reply, hex("FF"));
    tunnel->mark_reply_unusable();
    sim.set_fault(reader, "plain-reply-bytes", 2); // another reply, not a repeat of the first
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(transfer(*tunnel, counting(3)).reply, hex("00 01"));
    EXPECT_GE(std::chrono::steady_clock::now() - started, TransferQueue::settle_time);
}

TEST_F(StrayFragments, RepliesThatWentWellAddNoDelay)
{
    auto tunnel = connect_reader();
    constexpr int transfers = 20;
    const auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < transfers; ++i)
        ASSERT_EQ(transfer(*tunnel, counting(i % 2 ? 3 : 30)).reply, hex("FF"));
    // A settle per transfer would take 4 s.
    EXPECT_LT(std::chrono::steady_clock::now() - started, transfers * TransferQueue::settle_time / 2);
}

TEST_F(StrayFragments, ATransferStartedWhileAnotherIsUnderWayRunsAfterIt)
{
    auto tunnel = connect_reader();
    sim.set_fault(reader, "plain-reply-bytes", 100);
    TransferOutcome first, second;
    start_transfer(*tunnel, counting(3), first);
    start_transfer(*tunnel, counting(30), second);
    ASSERT_TRUE(run_until([&] { return first.completed && second.completed; }));
    EXPECT_EQ(first.reply, counting(100));
    EXPECT_EQ(second.reply, counting(100));
}

} // namespace
