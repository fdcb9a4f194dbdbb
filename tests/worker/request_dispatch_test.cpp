// The worker's end of the request channel against a scripted session: the
// daemon's side sends from a thread of its own, as pcscd does.

#include <gtest/gtest.h>

#include <poll.h>

#include <chrono>
#include <future>
#include <thread>

#include "tests/driver/scripted_session.h"
#include "worker/request_dispatch.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::uint8_t get_challenge[] = {0x00, 0x84, 0x00, 0x00, 0x08};

class RequestDispatchTest : public testing::Test {
protected:
    explicit RequestDispatchTest(std::chrono::milliseconds deadline = request_deadline)
        : dispatch(channel, [this](std::uint8_t slot) { return slot == 0 ? session : nullptr; }, deadline)
    {
        channel.make();
        script.apdu_response = {0x90, 0x00};
    }
    std::shared_ptr<ScriptedSession> put_session()
    {
        auto scripted = std::make_shared<ScriptedSession>(script);
        session = scripted;
        return scripted;
    }

    // An APDU request from a daemon thread; its reply.
    std::future<Outcome<std::size_t>> send_apdu()
    {
        return std::async(std::launch::async, [this] { return channel.exchange(0, REQ_APDU, get_challenge, response); });
    }

    // The worker reads the request that the daemon's side sent, then runs
    // its loop until the reply is in.
    Outcome<std::size_t> serve(std::future<Outcome<std::size_t>> reply)
    {
        EXPECT_TRUE(dispatch.serve_next(Glib::IOCondition::IO_IN));
        const auto limit = Clock::now() + 10s;
        while (reply.wait_for(0s) != std::future_status::ready && Clock::now() < limit)
            g_main_context_iteration(nullptr, FALSE);
        return reply.get();
    }

    void run_loop_briefly()
    {
        for (int i = 0; i < 10; ++i)
            g_main_context_iteration(nullptr, FALSE);
    }

    // Waits until the daemon's side has sent, so that the worker can read.
    void wait_until_sent()
    {
        pollfd request{channel.worker_end(), POLLIN, 0};
        poll(&request, 1, 5000);
    }

    RequestChannel channel;
    // The session in slot 0; there is no other slot.
    std::shared_ptr<PemraSession> session;
    RequestDispatch dispatch;
    ReaderScript script;
    std::uint8_t response[8] = {};
};

class ShortDeadline : public RequestDispatchTest {
protected:
    ShortDeadline() : RequestDispatchTest(300ms) {}
};

class OneSecondDeadline : public RequestDispatchTest {
protected:
    OneSecondDeadline() : RequestDispatchTest(1s) {}
};

TEST_F(ShortDeadline, ARequestTheReaderNeverAnswersFailsAtTheDeadlineAndIsCancelled)
{
    script.silent = true;
    auto session = put_session();
    EXPECT_EQ(serve(send_apdu()).failure(), Failure::DeadlinePassed);
    EXPECT_EQ(session->cancelled(), std::vector<Failure>{Failure::DeadlinePassed});
    // The cancelled operation's own completion comes later and adds nothing:
    // the next request gets its own answer.
    run_loop_briefly();
    script.silent = false;
    put_session();
    EXPECT_EQ(serve(send_apdu()).value(), 2u);
}

// The worker was held (a hung bluetoothd) before it read the request: the
// time it spent held counts, and one held past the deadline is answered with
// a failure at once, never carried out late.
TEST_F(OneSecondDeadline, TheDeadlineCountsFromTheSendNotFromTheRead)
{
    script.silent = true;
    put_session();
    auto reply = send_apdu();
    wait_until_sent();
    std::this_thread::sleep_for(700ms);
    const auto read = Clock::now();
    ASSERT_EQ(serve(std::move(reply)).failure(), Failure::DeadlinePassed);
    EXPECT_LT(Clock::now() - read, 1s);

    auto session = put_session();
    reply = send_apdu();
    wait_until_sent();
    std::this_thread::sleep_for(1050ms);
    ASSERT_EQ(serve(std::move(reply)).failure(), Failure::DeadlinePassed);
    EXPECT_TRUE(session->apdus().empty());
}

// The daemon's side waits longer than the worker's deadline, then gives up.
TEST_F(ShortDeadline, ARequestTheDaemonGaveUpIsNotCarriedOutAndTheNextOneIsServed)
{
    auto session = put_session();
    channel.set_reply_wait(400ms);
    ASSERT_EQ(send_apdu().get().failure(), Failure::NotAnswered);
    ASSERT_TRUE(dispatch.serve_next(Glib::IOCondition::IO_IN));
    run_loop_briefly();
    ASSERT_TRUE(session->apdus().empty());

    // The failure answered is dropped, and the next request is served.
    const Outcome<std::size_t> reply = serve(send_apdu());
    EXPECT_EQ(session->apdus().size(), 1u);
    EXPECT_TRUE(reply);
}

} // namespace
