// The rest of a reply that the tunnel gave up on must never be taken for
// the next reply: the next transfer waits until the link has been quiet.
// A reply that went well costs nothing.

#include "tunnel_fixture.h"

#include <algorithm>
#include <cstdlib>
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
    // The same reply again: a reader may answer the same way twice.
    EXPECT_EQ(transfer(*tunnel, counting(3)).reply, counting(100));
}

// Another program listens to characteristic 4: bluetoothd signals every
// notification once more for it. Its copies never become part of an answer,
// and a reader that answers the same way twice is heard both times.
TEST_F(StrayFragments, CopiesForAnotherListenerAreDroppedAndARepeatedReplyIsTaken)
{
    auto tunnel = connect_reader();
    auto other = Gio::DBus::Connection::create_for_address_sync(
        std::getenv("DBUS_SYSTEM_BUS_ADDRESS"),
        Gio::DBus::ConnectionFlags::AUTHENTICATION_CLIENT | Gio::DBus::ConnectionFlags::MESSAGE_BUS_CONNECTION);
    other->call_sync(characteristic_of(reader, 4), "org.bluez.GattCharacteristic1", "StartNotify", {}, {},
                     "org.bluez");
    // Rows: reply size; whether the reader answers the write first (its
    // reply then trails the answer, and the copy of the reply's last
    // fragment may come once the next request is out) or replies first.
    struct Row {
        int size;
        bool answers_write_first;
    };
    for (const Row row : {Row{100, true}, Row{100, true}, Row{10, true}, Row{10, false}}) {
        sim.set_fault(reader, "plain-reply-bytes", row.size);
        sim.set_fault(reader, "reply-delay-ms", row.answers_write_first ? 5 : 0);
        sim.set_fault(reader, "write-answer-delay-ms", row.answers_write_first ? 0 : 50);
        EXPECT_EQ(transfer(*tunnel, counting(3)).reply, counting(static_cast<std::size_t>(row.size))) << row.size;
    }
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
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(transfer(*tunnel, counting(3)).reply, hex("FF"));
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
