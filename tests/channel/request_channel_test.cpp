// The daemon's end of the request channel against a worker's end that the
// test scripts: framing, the reply format, size limits and the failure rules.

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <thread>
#include <vector>

#include "channel/request_channel.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

class RequestChannelTest : public ::testing::Test {
protected:
    void SetUp() override { channel.make(); }

    int worker_end() const { return channel.worker_end(); }

    // Answers the next request with `reply` from a thread of its own and
    // returns the request it saw.
    Bytes serve_one(const Bytes &reply, const std::function<void()> &daemon)
    {
        Bytes request(max_request_size + 16);
        std::thread worker([&] {
            ssize_t n = recv(worker_end(), request.data(), request.size(), 0);
            request.resize(n < 0 ? 0 : n);
            send(worker_end(), reply.data(), reply.size(), 0);
        });
        daemon();
        worker.join();
        return request;
    }

    Outcome<std::size_t> exchange(RequestOpcode opcode, const Bytes &payload, Bytes &answer)
    {
        return channel.exchange(0, opcode, payload, answer);
    }

    // No request waits at the worker's end (0: the daemon's end is closed).
    bool no_request_waiting() const
    {
        std::uint8_t byte;
        const ssize_t n = recv(worker_end(), &byte, 1, MSG_DONTWAIT);
        return n == 0 || (n < 0 && errno == EAGAIN);
    }

    RequestChannel channel;
};

// One request and its reply: what goes out, and what the daemon's side makes
// of what comes back.
struct ExchangeRow {
    const char *name;
    RequestOpcode opcode;
    Bytes payload;
    Bytes reply;
    std::size_t capacity;
    Bytes request;
    Outcome<std::size_t> result;
    Bytes answer; // the answer's first bytes
};

class Exchanges : public RequestChannelTest, public testing::WithParamInterface<ExchangeRow> {};

TEST_P(Exchanges, CarryTheRequestAndReadTheReply)
{
    const ExchangeRow &row = GetParam();
    Bytes answer(row.capacity);
    Outcome<std::size_t> result = Failure::BadReply;
    EXPECT_EQ(serve_one(row.reply, [&] { result = exchange(row.opcode, row.payload, answer); }), row.request);
    ASSERT_EQ(result.has_value(), row.result.has_value());
    if (!result) {
        EXPECT_EQ(result.failure(), row.result.failure());
        return;
    }
    EXPECT_EQ(*result, *row.result);
    EXPECT_EQ(Bytes(answer.begin(), answer.begin() + row.answer.size()), row.answer);
}

const Bytes select_apdu = {0x00, 0xA4, 0x04, 0x00, 0x00};

INSTANTIATE_TEST_SUITE_P(
    RequestChannel, Exchanges,
    testing::Values(
        ExchangeRow{"ApduAsSlotOpcodePayloadAndItsResponseAfterTheStatus", REQ_APDU, select_apdu, {0x00, 0x6A, 0x82},
                    16, {0x00, REQ_APDU, 0x00, 0xA4, 0x04, 0x00, 0x00}, std::size_t{2}, {0x6A, 0x82}},
        ExchangeRow{"RpcAnswerWholeWithTheReadersResultByte", REQ_RPC, {0x10, 0x20}, {0x00, 0x00, 0x20, 0x10}, 8,
                    {0x00, REQ_RPC, 0x10, 0x20}, std::size_t{3}, {0x00, 0x20, 0x10}},
        ExchangeRow{"PowerOffTakesTheStatusOnly", REQ_POWER_OFF, {}, {0x00}, 0, {0x00, REQ_POWER_OFF}, std::size_t{0},
                    {}},
        ExchangeRow{"AttributeRequestsCarryNoPayload", REQ_DESCRIPTOR, {}, {0x00, 0x01, 0xAA}, 512,
                    {0x00, REQ_DESCRIPTOR}, std::size_t{2}, {0x01, 0xAA}},
        ExchangeRow{"AFailureStatusIsTheFailureTheWorkerMet", REQ_RESET, {}, {status_of(Failure::NoSession)}, 32,
                    {0x00, REQ_RESET}, Failure::NoSession, {}},
        ExchangeRow{"AStatusThatNamesNoFailureIsNotServed", REQ_IEEE, {}, {0xFF, 0x01}, 512, {0x00, REQ_IEEE},
                    Failure::NotServed, {}},
        ExchangeRow{"AnAnswerLargerThanTheBufferDoesNotFit", REQ_RPC, {0x10}, {0x00, 0x00, 0x01, 0x02}, 2,
                    {0x00, REQ_RPC, 0x10}, Failure::DoesNotFit, {}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(RequestChannelTest, EveryFailureTravelsAsItsStatusByte)
{
    for (auto status = status_of(Failure::NoSession); status <= status_of(last_failure); ++status) {
        Bytes answer(4);
        Outcome<std::size_t> result = 0;
        serve_one({status}, [&] { result = exchange(REQ_APDU, select_apdu, answer); });
        EXPECT_EQ(result.failure(), static_cast<Failure>(status));
    }
}

TEST_F(RequestChannelTest, AnExtendedApduOfPcscdsLargestSizeIsOneRequestAndOneMoreIsRefusedUnsent)
{
    Bytes apdu(max_request_payload, 0x5A);
    Bytes response(8);
    Bytes request = serve_one({0x00, 0x90, 0x00}, [&] { EXPECT_TRUE(exchange(REQ_APDU, apdu, response)); });
    EXPECT_EQ(request.size(), max_request_payload + 2);

    Bytes too_long(max_request_payload + 1, 0x5A);
    EXPECT_EQ(exchange(REQ_APDU, too_long, response).failure(), Failure::Refused);
    EXPECT_EQ(exchange(REQ_RPC, too_long, response).failure(), Failure::Refused);
    EXPECT_TRUE(no_request_waiting());
}

TEST_F(RequestChannelTest, AResponseBeyondTheOldAreaIsCarriedWholeAndOneThatDoesNotFitFailsUncopied)
{
    const Bytes apdu = {0x80};
    Bytes reply(1 + 9000, 0x61);
    reply[0] = reply_success;
    Bytes response(9000);
    Outcome<std::size_t> result = Failure::NotServed;
    serve_one(reply, [&] { result = exchange(REQ_APDU, apdu, response); });
    ASSERT_TRUE(result);
    EXPECT_EQ(*result, 9000u);
    EXPECT_EQ(response.back(), 0x61);

    Bytes small(8191, 0x00);
    serve_one(reply, [&] { result = exchange(REQ_APDU, apdu, small); });
    EXPECT_EQ(result.failure(), Failure::DoesNotFit);
    EXPECT_EQ(small, Bytes(8191, 0x00));
    // The reply was consumed whole: the next one is read in step.
    serve_one({0x00, 0x90, 0x00}, [&] { result = exchange(REQ_APDU, apdu, small); });
    EXPECT_EQ(result.value(), 2u);
}

TEST_F(RequestChannelTest, AZeroLengthReplyClosesTheDaemonsEndForGood)
{
    Bytes none;
    Outcome<std::size_t> result = 0;
    serve_one({}, [&] { result = exchange(REQ_POWER_OFF, {}, none); });
    EXPECT_EQ(result.failure(), Failure::ChannelClosed);
    // Failed at once, unsent: no reply is awaited from a worker still there.
    EXPECT_EQ(exchange(REQ_POWER_OFF, {}, none).failure(), Failure::ChannelClosed);
    EXPECT_TRUE(no_request_waiting());
}

TEST_F(RequestChannelTest, AWorkerEndThatIsGoneFailsTheNextRequestAndEveryOneAfter)
{
    channel.shut_down_worker_end();
    Bytes buffer(4);
    EXPECT_EQ(exchange(REQ_POWER_OFF, {}, buffer).failure(), Failure::ChannelClosed);
    EXPECT_EQ(exchange(REQ_IEEE, {}, buffer).failure(), Failure::ChannelClosed);
}

TEST_F(RequestChannelTest, TwoDaemonThreadsNeverReceiveEachOthersReplies)
{
    // The worker echoes each request's payload after a success status.
    std::thread worker([&] {
        Bytes request(max_request_size);
        ssize_t n;
        while ((n = recv(worker_end(), request.data(), request.size(), 0)) > 0) {
            request[1] = reply_success;
            send(worker_end(), request.data() + 1, n - 1, 0);
        }
    });
    auto daemon = [this](std::uint8_t tag, int *mismatches) {
        for (int i = 0; i < 500; ++i) {
            Bytes apdu(1 + i % 40, tag);
            Bytes response(64);
            Outcome<std::size_t> result = exchange(REQ_APDU, apdu, response);
            if (!result || Bytes(response.begin(), response.begin() + *result) != apdu)
                ++*mismatches;
        }
    };
    int mismatches_a = 0;
    int mismatches_b = 0;
    std::thread a(daemon, 0xAA, &mismatches_a);
    std::thread b(daemon, 0xBB, &mismatches_b);
    a.join();
    b.join();
    shutdown(worker_end(), SHUT_RDWR);
    worker.join();
    EXPECT_EQ(mismatches_a, 0);
    EXPECT_EQ(mismatches_b, 0);
}

TEST_F(RequestChannelTest, AHeldWorkerFailsTheRequestAtTheLimitAndItsLateReplyIsNeverTakenForTheNext)
{
    channel.set_reply_wait(100ms);
    Bytes response(16);
    const Bytes first = {0x00, 0x84, 0x00, 0x00, 0x08};
    EXPECT_EQ(exchange(REQ_APDU, first, response).failure(), Failure::NotAnswered);
    // While the worker still owes that reply, requests fail unsent.
    EXPECT_EQ(exchange(REQ_APDU, {0x00, 0xB0, 0x00, 0x00, 0x02}, response).failure(), Failure::NotAnswered);

    Bytes request(64);
    request.resize(recv(worker_end(), request.data(), request.size(), 0));
    EXPECT_EQ(request, (Bytes{0x00, REQ_APDU, 0x00, 0x84, 0x00, 0x00, 0x08}));
    EXPECT_TRUE(no_request_waiting());
    const std::uint8_t late_reply[] = {reply_success, 0x6A, 0x82};
    send(worker_end(), late_reply, sizeof late_reply, 0);

    Outcome<std::size_t> result = Failure::NotServed;
    serve_one({reply_success, 0x90, 0x00}, [&] { result = exchange(REQ_APDU, first, response); });
    ASSERT_EQ(result.value(), 2u);
    EXPECT_EQ(response[0], 0x90);
}

} // namespace
