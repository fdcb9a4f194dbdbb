// The daemon's end of the request channel against a worker end that the test
// scripts: framing, size limits and the failure rules.

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "driver/request_channel.h"
#include "driver/request_protocol.h"
#include "worker/slot_table.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

class RequestChannel : public ::testing::Test {
protected:
    void SetUp() override
    {
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair), 0);
        worker_end = pair[0];
        pcscsidesock = pair[1];
    }
    void TearDown() override
    {
        if (worker_end >= 0)
            close(worker_end);
        close_pcsc_end();
    }

    // Answers the next request with `reply` from a thread of its own and
    // returns the request it saw.
    Bytes serve_one(const Bytes &reply, const std::function<void()> &client)
    {
        Bytes request(request_area_size + 16);
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
    std::uint8_t response[16];
    unsigned long length = sizeof response;
    int result = -2;
    Bytes request = serve_one({0x00, 0x6A, 0x82}, [&] { result = write_apdu(0, apdu, response, &length); });

    EXPECT_EQ(request, (Bytes{0x00, 0x01, 0x00, 0xA4, 0x04, 0x00, 0x00}));
    EXPECT_EQ(result, 0);
    ASSERT_EQ(length, 2u);
    EXPECT_EQ(response[0], 0x6A);
    EXPECT_EQ(response[1], 0x82);
}

TEST_F(RequestChannel, PayloadOf8190BytesIsOneRequestOf8192AndOneMoreIsRefusedUnsent)
{
    Bytes apdu(8190, 0x5A);
    std::uint8_t response[8];
    unsigned long length = sizeof response;
    Bytes request = serve_one({0x00, 0x90, 0x00}, [&] { EXPECT_EQ(write_apdu(0, apdu, response, &length), 0); });
    EXPECT_EQ(request.size(), 8192u);

    Bytes too_long(8191, 0x5A);
    EXPECT_EQ(write_apdu(0, too_long, response, &length), -1);
    EXPECT_EQ(write_rpc_ext(0, too_long, response, &length), -1);
    EXPECT_TRUE(worker_end_has_nothing());
}

TEST_F(RequestChannel, StatusReplyIsReturnedAsIsAndFailureByteLeavesNoData)
{
    std::uint8_t atr[32];
    unsigned long length = sizeof atr;
    int result = 0;
    serve_one({0xFF}, [&] { result = icc_reset(0, atr, &length); });
    EXPECT_EQ(result, 0xFF);
    EXPECT_EQ(length, 0u);

    serve_one({0x00}, [&] { result = icc_power_off(0); });
    EXPECT_EQ(result, 0x00);
}

TEST_F(RequestChannel, ResetWithoutBuffersReturnsOnlyTheStatus)
{
    int result = -2;
    Bytes request = serve_one({0x00, 0x3B, 0x02}, [&] { result = icc_reset(0, nullptr, nullptr); });
    EXPECT_EQ(request, (Bytes{0x00, REQ_RESET}));
    EXPECT_EQ(result, 0);
}

TEST_F(RequestChannel, AnswerLongerThanCapacityFailsUncopiedAndChannelStaysUsable)
{
    Bytes reply(20, 0x11);
    reply[0] = 0x00;
    std::uint8_t atr[32] = {};
    unsigned long length = 18; // 19 data bytes do not fit
    int result = 0;
    serve_one(reply, [&] { result = icc_reset(0, atr, &length); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(length, 18u);
    EXPECT_EQ(atr[0], 0);

    length = 19;
    serve_one(reply, [&] { result = icc_reset(0, atr, &length); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(length, 19u);
}

TEST_F(RequestChannel, RpcAnswerIsReturnedWholeAndItsFirstByteDecides)
{
    Bytes message = {0x10, 0x20};
    std::uint8_t answer[8];
    unsigned long length = sizeof answer;
    int result = -2;
    Bytes request = serve_one({0x00, 0x20, 0x10}, [&] { result = write_rpc_ext(0, message, answer, &length); });
    EXPECT_EQ(request, (Bytes{0x00, REQ_RPC, 0x10, 0x20}));
    EXPECT_EQ(result, 0);
    EXPECT_EQ(Bytes(answer, answer + length), (Bytes{0x00, 0x20, 0x10}));

    length = sizeof answer;
    serve_one({0xFF, 0x01}, [&] { result = write_rpc_ext(0, message, answer, &length); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(Bytes(answer, answer + length), (Bytes{0xFF, 0x01})); // copied all the same

    length = 2;
    serve_one({0x00, 0x01, 0x02}, [&] { result = write_rpc_ext(0, message, answer, &length); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(length, 2u);
}

TEST_F(RequestChannel, RawRepliesShorterThanTwoBytesAreFailures)
{
    std::uint8_t buffer[512];
    int result = 0;
    Bytes request = serve_one({0xFF}, [&] { result = get_pemra_ieee(0, buffer); });
    EXPECT_EQ(request, (Bytes{0x00, REQ_IEEE}));
    EXPECT_EQ(result, -1);

    request = serve_one({0x00}, [&] { result = get_pemra_descriptor(0, buffer); });
    EXPECT_EQ(request, (Bytes{0x00, REQ_DESCRIPTOR}));
    EXPECT_EQ(result, -1);

    serve_one({0x01, 0xAA}, [&] { result = get_pemra_descriptor(0, buffer); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(buffer[1], 0xAA);
}

TEST_F(RequestChannel, ZeroLengthReplyClosesThePcscEndForGood)
{
    int result = 0;
    serve_one({}, [&] { result = icc_power_off(0); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(pcscsidesock, -1);
    EXPECT_EQ(icc_power_off(0), -1);
}

TEST_F(RequestChannel, ClosedWorkerEndFailsTheNextRequestAndClosesThePcscEnd)
{
    close(worker_end);
    worker_end = -1;
    EXPECT_EQ(icc_power_off(0), -1);
    EXPECT_EQ(pcscsidesock, -1);
    std::uint8_t buffer[4];
    EXPECT_EQ(get_pemra_ieee(0, buffer), -1);
}

TEST_F(RequestChannel, TwoDaemonThreadsNeverReceiveEachOthersReplies)
{
    // The worker echoes each request's payload.
    std::thread worker([&] {
        std::uint8_t request[request_area_size];
        ssize_t n;
        while ((n = recv(worker_end, request, sizeof request, 0)) > 0) {
            request[1] = 0x00;
            send(worker_end, request + 1, n - 1, 0);
        }
    });
    auto client = [](std::uint8_t tag, int *mismatches) {
        for (int i = 0; i < 500; ++i) {
            Bytes apdu(1 + i % 40, tag);
            std::uint8_t response[64];
            unsigned long length = sizeof response;
            if (write_apdu(0, apdu, response, &length) != 0 || Bytes(response, response + length) != apdu)
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
    close_pcsc_end();
    worker.join();
    EXPECT_EQ(mismatches_a, 0);
    EXPECT_EQ(mismatches_b, 0);
}

TEST(SlotTableReaders, ReportTheEntriesOfSlotZeroAndZeroForMissingSlots)
{
    pemra_statuslist[0] = card_status_present;
    max_apdu_sizes[0] = 498;
    EXPECT_EQ(get_card_status(0), card_status_present);
    EXPECT_EQ(get_apdu_len(0), 498);
    EXPECT_EQ(get_card_status(1), 0);
    EXPECT_EQ(get_apdu_len(255), 0);
}

} // namespace
