// The worker's end of the request channel against a scripted session.

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/driver/scripted_session.h"
#include "worker/request_dispatch.h"
#include "worker/request_protocol.h"

namespace {

using namespace std::chrono_literals;

TEST(RequestDispatch, ARequestTheReaderNeverAnswersFailsAtTheDeadlineAndIsCancelled)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair), 0);
    RequestSocketPair channel;
    channel.btsidesocket = pair[0];
    SlotTable slots;
    RequestDispatch dispatch(channel, slots, 200ms);
    ReaderScript script;
    script.apdu_response = {0x90, 0x00};
    script.silent = true;
    auto session = std::make_shared<ScriptedSession>(script);
    slots.pemra_devlist[0] = session;

    const std::uint8_t request[] = {0, REQ_APDU, 0x00, 0x84, 0x00, 0x00, 0x08};
    send(pair[1], request, sizeof request, 0);
    ASSERT_TRUE(dispatch.pipe_read_cb(Glib::IOCondition::IO_IN));
    std::uint8_t reply[8];
    ssize_t n = -1;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (n < 0 && std::chrono::steady_clock::now() < deadline) {
        g_main_context_iteration(nullptr, FALSE);
        n = recv(pair[1], reply, sizeof reply, MSG_DONTWAIT);
    }
    ASSERT_EQ(n, 1);
    EXPECT_EQ(reply[0], reply_failure);
    EXPECT_EQ(session->cancelled(), std::vector<Failure>{Failure::DeadlinePassed});
    // The cancelled operation's own completion comes later and adds nothing.
    for (int i = 0; i < 10; ++i)
        g_main_context_iteration(nullptr, FALSE);
    EXPECT_LT(recv(pair[1], reply, sizeof reply, MSG_DONTWAIT), 0);
    slots.pemra_devlist[0].reset();
    close(pair[0]);
    close(pair[1]);
}

TEST(RequestDispatch, ARequestTheDaemonGaveUpWhileTheWorkerWasHeldIsNotCarriedOutLate)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair), 0);
    RequestSocketPair channel;
    channel.btsidesocket = pair[0];
    channel.pcscsidesock = pair[1];
    channel.reply_wait = 50ms;
    SlotTable slots;
    RequestDispatch dispatch(channel, slots);
    ReaderScript script;
    script.apdu_response = {0x90, 0x00};
    auto session = std::make_shared<ScriptedSession>(script);
    slots.pemra_devlist[0] = session;

    const std::uint8_t apdu[] = {0x00, 0x84, 0x00, 0x00, 0x08};
    std::uint8_t response[8];
    ASSERT_EQ(channel.exchange(0, REQ_APDU, apdu, {true, response}).failure(), Failure::NotAnswered);
    ASSERT_TRUE(dispatch.pipe_read_cb(Glib::IOCondition::IO_IN));
    for (int i = 0; i < 10; ++i)
        g_main_context_iteration(nullptr, FALSE);
    ASSERT_TRUE(session->apdus().empty());

    // The failure answered is dropped, and the next request is served.
    std::thread worker([&] {
        dispatch.pipe_read_cb(Glib::IOCondition::IO_IN);
        for (int i = 0; i < 10; ++i)
            g_main_context_iteration(nullptr, FALSE);
    });
    const Outcome<ReplyReceived> reply = channel.exchange(0, REQ_APDU, apdu, {true, response});
    worker.join();
    EXPECT_EQ(session->apdus().size(), 1u);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, reply_success);
    slots.pemra_devlist[0].reset();
    channel.close_both();
}

} // namespace
