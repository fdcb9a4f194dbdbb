// How messages go out: the short and long framings, chunking and its
// growth, indications, and the bus calls a transfer makes.

#include "tunnel_fixture.h"

namespace {

using Framing = TunnelTest;

Glib::VariantBase notify_size(unsigned size) { return Glib::Variant<guint32>::create(size); }

TEST_F(Framing, An18ByteMessageGoesShortAsOne20ByteWriteToCharacteristic7)
{
    auto tunnel = connect_reader();
    const Bytes message = counting(18);
    EXPECT_EQ(transfer(*tunnel, message).reply, hex("FF"));
    Bytes request = hex("12 00");
    request.insert(request.end(), message.begin(), message.end());
    EXPECT_EQ(writes(7), std::vector<Bytes>{request});
    EXPECT_TRUE(writes(1).empty());
    EXPECT_TRUE(writes(2).empty());
    EXPECT_EQ(reads(3), 0u);
}

TEST_F(Framing, A19ByteMessageGoesLongAsItsLengthThenOneChunk)
{
    auto tunnel = connect_reader();
    const Bytes message = counting(19);
    EXPECT_EQ(transfer(*tunnel, message).reply, hex("FF"));
    EXPECT_TRUE(writes(7).empty());
    EXPECT_EQ(writes(1), std::vector<Bytes>{hex("13 00")});
    EXPECT_EQ(writes(2), std::vector<Bytes>{message});
    EXPECT_EQ(reads(3), 1u);
}

TEST_F(Framing, A45ByteMessageGoesInChunksOf20And20And5)
{
    auto tunnel = connect_reader();
    const Bytes message = counting(45);
    EXPECT_EQ(transfer(*tunnel, message).reply, hex("FF"));
    EXPECT_EQ(writes(1), std::vector<Bytes>{hex("2D 00")});
    const std::vector<Bytes> chunks{Bytes(message.begin(), message.begin() + 20),
                                    Bytes(message.begin() + 20, message.begin() + 40),
                                    Bytes(message.begin() + 40, message.end())};
    EXPECT_EQ(writes(2), chunks);
}

TEST_F(Framing, AnEmptyMessageGoesShortAsTheTwoBytes0000)
{
    auto tunnel = connect_reader();
    EXPECT_EQ(transfer(*tunnel, {}).reply, hex("FF"));
    EXPECT_EQ(writes(7), std::vector<Bytes>{hex("00 00")});
}

TEST_F(Framing, LongFragmentsGrowTheChunkSizeSoThat183BytesGoShortAnd184Long)
{
    auto tunnel = connect_reader({{"notify-size", notify_size(185)}});
    sim.set_fault(reader, "plain-reply-bytes", 400);
    ASSERT_EQ(transfer(*tunnel, counting(5)).reply, counting(400));
    EXPECT_EQ(tunnel->chunk_size(), 185u);
    sim.clear_log();

    ASSERT_EQ(transfer(*tunnel, counting(183)).reply, counting(400));
    ASSERT_EQ(writes(7).size(), 1u);
    EXPECT_EQ(writes(7)[0].size(), 185u);
    sim.clear_log();

    ASSERT_EQ(transfer(*tunnel, counting(184)).reply, counting(400));
    EXPECT_TRUE(writes(7).empty());
    EXPECT_EQ(writes(1), std::vector<Bytes>{hex("B8 00")});
    EXPECT_EQ(writes(2), std::vector<Bytes>{counting(184)});
}

TEST_F(Framing, TheChunkSizeNeverShrinks)
{
    auto tunnel = connect_reader({{"notify-size", notify_size(185)}});
    sim.set_fault(reader, "plain-reply-bytes", 400);
    ASSERT_EQ(transfer(*tunnel, counting(5)).reply, counting(400));
    sim.set_notify_size(reader, 20);
    ASSERT_EQ(transfer(*tunnel, counting(5)).reply, counting(400));
    EXPECT_EQ(tunnel->chunk_size(), 185u);
}

// The stand-in logs every call it gets; a transfer makes no call beyond
// its framing's. On the bus, each write and read is a call and its reply,
// and each fragment one PropertiesChanged signal.
TEST_F(Framing, ATransferMakesOnlyTheCallsOfItsFraming)
{
    auto tunnel = connect_reader();
    sim.set_fault(reader, "plain-reply-bytes", 300);
    ASSERT_EQ(transfer(*tunnel, counting(10)).reply, counting(300));
    std::vector<std::string> expected{"write 7", "message short", "request plain"};
    expected.insert(expected.end(), 16, "notify 4"); // 304 bytes in fragments of 19
    EXPECT_EQ(events(), expected);

    sim.clear_log();
    ASSERT_EQ(transfer(*tunnel, counting(45)).reply, counting(300));
    expected = {"write 1", "write 2", "write 2", "write 2", "message long", "request plain", "read 3"};
    expected.insert(expected.end(), 16, "notify 4"); // 300 bytes in fragments of 19
    EXPECT_EQ(events(), expected);
}

TEST_F(Framing, ATransferCompletesOnlyAfterItsStartReturned)
{
    auto tunnel = connect_reader();
    for (const Bytes &message : {counting(3), counting(30)}) {
        TransferOutcome outcome;
        start_transfer(*tunnel, message, outcome);
        EXPECT_FALSE(outcome.completed);
        EXPECT_TRUE(run_until([&] { return outcome.completed; }));
    }
}

TEST_F(Framing, AnIndicationIsOneWriteToCharacteristic9AndCompletesAfterItsStartReturned)
{
    auto tunnel = connect_reader();
    int completions = 0;
    tunnel->write_indication(hex("01 00"), [&] { ++completions; });
    EXPECT_EQ(completions, 0);
    run_until([&] { return !logged(reader, "indication", "9").empty(); });
    run_for(50ms);
    EXPECT_EQ(completions, 1);
    EXPECT_EQ(logged(reader, "indication", "9"), std::vector<Bytes>{hex("01 00")});
}

TEST_F(Framing, AnIndicationCompletesEvenWhenItsWriteFails)
{
    auto tunnel = connect_reader();
    sim.set_connected(reader, false);
    bool completed = false;
    tunnel->write_indication(hex("07"), [&] { completed = true; });
    EXPECT_TRUE(run_until([&] { return completed; }));
}

TEST_F(Framing, ALongMessageStopsAtItsFirstFailedChunk)
{
    auto tunnel = connect_reader();
    sim.set_fault(reader, "fail-write-2", 1);
    EXPECT_EQ(transfer(*tunnel, counting(45)).failure, Failure::BusError);
    run_for(50ms);
    EXPECT_EQ(writes(2).size(), 1u);
    EXPECT_EQ(reads(3), 0u);
}

} // namespace
