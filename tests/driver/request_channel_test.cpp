// The daemon's end of the request channel against a worker end that the test
// scripts: framing, size limits and the failure rules.

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <thread>
#include <vector>

#include "driver/request_channel.h"
#include "worker/request_protocol.h"
#include "worker/worker.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

RequestSocketPair &channel() { return Worker::instance().requests; }

class RequestChannel : public ::testing::Test {
protected:
    void SetUp() override
    {
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair), 0);
        worker_end = pair[0];
        channel().pcscsidesock = pair[1];
    }
    void TearDown() override
    {
        if (worker_end >= 0)
            close(worker_end);
        channel().close_both();
    }

    // Answers the next request with `reply` from a thread of its own and
    // returns the request it saw.
    Bytes serve_one(const Bytes &reply, const std::function<void()> &client)
    {
        Bytes request(max_request_size + 16);
        std::thread worker([&] {
            ssize_t n = recv(worker_end, request.data(), request.size(), 0);
            request.resize(n < 0 ? 0 : n);
            send(worker_end, reply.data(), reply.size(), 0);
        });
        client();
        worker.join();
        return request;
    }

    bool worker_end_has_nothing() const
    {
        std::uint8_t byte;
        return recv(worker_end, &byte, 1, MSG_DONTWAIT) < 0 && errno == EAGAIN;
    }

    int worker_end = -1;
};

TEST_F(RequestChannel, ApduTravelsAsSlotOpcodePayloadAndComesBackWithoutStatus)
{
    Bytes apdu = {0x00, 0xA4, 0x04, 0x00, 0x00};
    Bytes response(16);
    Outcome<std::size_t> result = Failure::NotServed;
    Bytes request = serve_one({0x00, 0x6A, 0x82}, [&] { result = write_apdu(0, apdu, response); });

    EXPECT_EQ(request, (Bytes{0x00, 0x01, 0x00, 0xA4, 0x04, 0x00, 0x00}));
    ASSERT_TRUE(result);
    ASSERT_EQ(*result, 2u);
    EXPECT_EQ(response[0], 0x6A);
    EXPECT_EQ(response[1], 0x82);
}

TEST_F(RequestChannel, AnExtendedApduOfPcscdsLargestSizeIsOneRequestAndOneMoreIsRefusedUnsent)
{
    Bytes apdu(max_request_payload, 0x5A);
    Bytes response(8);
    Bytes request = serve_one({0x00, 0x90, 0x00}, [&] { EXPECT_TRUE(write_apdu(0, apdu, response)); });
    EXPECT_EQ(request.size(), max_request_payload + 2);

    Bytes too_long(max_request_payload + 1, 0x5A);
    EXPECT_EQ(write_apdu(0, too_long, response).failure(), Failure::Refused);
    EXPECT_EQ(write_rpc_ext(0, too_long, response).failure(), Failure::Refused);
    EXPECT_TRUE(worker_end_has_nothing());
}

TEST_F(RequestChannel, AResponseBeyondTheOldAreaIsCarriedWholeAndOneThatDoesNotFitFailsUncopied)
{
    const Bytes apdu = {0x80};
    Bytes reply(1 + 9000, 0x61);
    reply[0] = 0x00;
    Bytes response(9000);
    Outcome<std::size_t> result = Failure::NotServed;
    serve_one(reply, [&] { result = write_apdu(0, apdu, response); });
    ASSERT_TRUE(result);
    EXPECT_EQ(*result, 9000u);
    EXPECT_EQ(response.back(), 0x61);

    Bytes small(8191, 0x00);
    serve_one(reply, [&] { result = write_apdu(0, apdu, small); });
    EXPECT_EQ(result.failure(), Failure::DoesNotFit);
    EXPECT_EQ(small, Bytes(8191, 0x00));
    // The reply was consumed whole: the next one is read in step.
    serve_one({0x00, 0x90, 0x00}, [&] { result = write_apdu(0, apdu, small); });
    EXPECT_EQ(result.value(), 2u);
}

TEST_F(RequestChannel, AFailureByteIsNotServedAndPowerOffTakesTheStatusOnly)
{
    Bytes atr(32);
    Outcome<std::size_t> result = 0;
    serve_one({0xFF}, [&] { result = icc_reset(0, atr); });
    EXPECT_EQ(result.failure(), Failure::NotServed);

    Done off = Failure::NotServed;
    serve_one({0x00}, [&] { off = icc_power_off(0); });
    EXPECT_TRUE(off);
}

TEST_F(RequestChannel, RpcAnswerIsReturnedWholeAndItsFirstByteDecides)
{
    Bytes message = {0x10, 0x20};
    Bytes answer(8);
    Outcome<std::size_t> result = Failure::NotServed;
    Bytes request = serve_one({0x00, 0x20, 0x10}, [&] { result = write_rpc_ext(0, message, answer); });
    EXPECT_EQ(request, (Bytes{0x00, REQ_RPC, 0x10, 0x20}));
    ASSERT_TRUE(result);
    EXPECT_EQ(Bytes(answer.begin(), answer.begin() + *result), (Bytes{0x00, 0x20, 0x10}));

    serve_one({0xFF, 0x01}, [&] { result = write_rpc_ext(0, message, answer); });
    EXPECT_EQ(result.failure(), Failure::NotServed);

    Bytes two(2);
    serve_one({0x00, 0x01, 0x02}, [&] { result = write_rpc_ext(0, message, two); });
    EXPECT_EQ(result.failure(), Failure::DoesNotFit);
}

TEST_F(RequestChannel, RawRepliesShorterThanTwoBytesAreFailures)
{
    Bytes buffer(512);
    Outcome<std::size_t> result = 0;
    Bytes request = serve_one({0xFF}, [&] { result = get_pemra_ieee(0, buffer); });
    EXPECT_EQ(request, (Bytes{0x00, REQ_IEEE}));
    EXPECT_EQ(result.failure(), Failure::NotServed);

    request = serve_one({0x00}, [&] { result = get_pemra_descriptor(0, buffer); });
    EXPECT_EQ(request, (Bytes{0x00, REQ_DESCRIPTOR}));
    EXPECT_EQ(result.failure(), Failure::NotServed);

    serve_one({0x01, 0xAA}, [&] { result = get_pemra_descriptor(0, buffer); });
    EXPECT_EQ(result.value(), 2u);
    EXPECT_EQ(buffer[1], 0xAA);
}

TEST_F(RequestChannel, ZeroLengthReplyClosesThePcscEndForGood)
{
    Done result = succeeded();
    serve_one({}, [&] { result = icc_power_off(0); });
    EXPECT_EQ(result.failure(), Failure::ChannelClosed);
    EXPECT_EQ(channel().pcscsidesock, -1);
    EXPECT_EQ(icc_power_off(0).failure(), Failure::ChannelClosed);
}

TEST_F(RequestChannel, ClosedWorkerEndFailsTheNextRequestAndClosesThePcscEnd)
{
    close(worker_end);
    worker_end = -1;
    EXPECT_EQ(icc_power_off(0).failure(), Failure::ChannelClosed);
    EXPECT_EQ(channel().pcscsidesock, -1);
    Bytes buffer(4);
    EXPECT_FALSE(get_pemra_ieee(0, buffer));
}

TEST_F(RequestChannel, TwoDaemonThreadsNeverReceiveEachOthersReplies)
{
    // The worker echoes each request's payload.
    std::thread worker([&] {
        Bytes request(max_request_size);
        ssize_t n;
        while ((n = recv(worker_end, request.data(), request.size(), 0)) > 0) {
            request[1] = 0x00;
            send(worker_end, request.data() + 1, n - 1, 0);
        }
    });
    auto client = [](std::uint8_t tag, int *mismatches) {
        for (int i = 0; i < 500; ++i) {
            Bytes apdu(1 + i % 40, tag);
            Bytes response(64);
            Outcome<std::size_t> result = write_apdu(0, apdu, response);
            if (!result || Bytes(response.begin(), response.begin() + *result) != apdu)
                ++*mismatches;
        }
    };
    int mismatches_a = 0;
    int mismatches_b = 0;
    std::thread a(client, 0xAA, &mismatches_a);
    std::thread b(client, 0xBB, &mismatches_b);
    a.join();
    b.join();
    shutdown(worker_end, SHUT_RDWR);
    worker.join();
    EXPECT_EQ(mismatches_a, 0);
    EXPECT_EQ(mismatches_b, 0);
}

TEST_F(RequestChannel, AHeldWorkerFailsTheRequestAtTheLimitAndItsLateReplyIsNeverTakenForTheNext)
{
    using namespace std::chrono_literals;
    channel().reply_wait = 100ms;
    Bytes response(16);
    const Bytes first = {0x00, 0x84, 0x00, 0x00, 0x08};
    EXPECT_EQ(write_apdu(0, first, response).failure(), Failure::NotAnswered);
    // While the worker still owes that reply, requests fail unsent.
    EXPECT_EQ(write_apdu(0, Bytes{0x00, 0xB0, 0x00, 0x00, 0x02}, response).failure(), Failure::NotAnswered);

    Bytes request(64);
    request.resize(recv(worker_end, request.data(), request.size(), 0));
    EXPECT_EQ(request, (Bytes{0x00, REQ_APDU, 0x00, 0x84, 0x00, 0x00, 0x08}));
    EXPECT_TRUE(worker_end_has_nothing());
    const std::uint8_t late_reply[] = {reply_success, 0x6A, 0x82};
    send(worker_end, late_reply, sizeof late_reply, 0);

    Outcome<std::size_t> result = Failure::NotServed;
    serve_one({reply_success, 0x90, 0x00}, [&] { result = write_apdu(0, first, response); });
    ASSERT_EQ(result.value(), 2u);
    EXPECT_EQ(response[0], 0x90);
    channel().reply_wait = reply_wait_limit;
}

TEST(SlotTableReaders, ReportTheEntriesOfSlotZeroAndZeroForMissingSlots)
{
    SlotTable &slots = Worker::instance().slots;
    slots.record(0, 6, 498);
    EXPECT_EQ(get_card_status(0), 6);
    EXPECT_EQ(get_apdu_len(0), 498);
    EXPECT_EQ(get_card_status(1), 0);
    EXPECT_EQ(get_apdu_len(255), 0);
}

} // namespace
