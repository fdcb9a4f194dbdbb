// The session's operations, one after the other, against a reader on the
// stand-in: a request that the worker gave up on never reaches the reader,
// whether it waited to start or not, and other operations go on.

#include "tests/tunnel/tunnel_fixture.h"

#include "device/pemra_device.h"

namespace {

using Clock = std::chrono::steady_clock;

class OperationQueue : public TunnelTest {
protected:
    std::shared_ptr<PemraDevice> ready_session()
    {
        auto session = PemraDevice::create(connect_reader());
        EXPECT_TRUE(run_until([&] { return session->ready; }, 5s));
        // Powered up, as pcscd does first.
        TransferOutcome atr;
        session->reset_card(Clock::now() + 5s, [&](Outcome<Bytes> reply) { atr = outcome_of(std::move(reply)); });
        EXPECT_TRUE(run_until([&] { return atr.completed; }));
        sim.clear_log();
        return session;
    }

    // The encrypted requests that reached the reader.
    std::size_t requests_at_reader() const { return logged(reader, "request", "encrypted").size(); }
};

const Bytes get_challenge = hex("00 84 00 00 08");

TEST_F(OperationQueue, ARequestGivenUpWhileItWaitsNeverStartsAndTheOneUnderWayGoesOn)
{
    auto session = ready_session();
    sim.set_fault(reader, "reply-delay-ms", 300);
    TransferOutcome under_way, given_up;
    session->write_apdu(get_challenge, Clock::now() + 10s,
                        [&](Outcome<Bytes> reply) { under_way = outcome_of(std::move(reply)); });
    const auto due = Clock::now() + 100ms;
    session->write_apdu(get_challenge, due, [&](Outcome<Bytes> reply) { given_up = outcome_of(std::move(reply)); });
    run_for(100ms);
    session->cancel(due, Failure::DeadlinePassed);
    ASSERT_TRUE(run_until([&] { return under_way.completed && given_up.completed; }));
    EXPECT_EQ(given_up.failure, Failure::DeadlinePassed);
    EXPECT_EQ(under_way.failure, std::nullopt);
    EXPECT_EQ(under_way.reply.size(), 10u);
    run_for(400ms);
    EXPECT_EQ(requests_at_reader(), 1u);
}

// The worker was held past the request's deadline, so that nothing gave it
// up yet when its turn came.
TEST_F(OperationQueue, ARequestPastDueWhenItsTurnComesNeverStarts)
{
    auto session = ready_session();
    sim.set_fault(reader, "reply-delay-ms", 300);
    TransferOutcome first, late;
    session->write_apdu(get_challenge, Clock::now() + 10s,
                        [&](Outcome<Bytes> reply) { first = outcome_of(std::move(reply)); });
    session->write_apdu(get_challenge, Clock::now() + 100ms,
                        [&](Outcome<Bytes> reply) { late = outcome_of(std::move(reply)); });
    ASSERT_TRUE(run_until([&] { return first.completed && late.completed; }));
    EXPECT_EQ(late.failure, Failure::DeadlinePassed);
    run_for(400ms);
    EXPECT_EQ(requests_at_reader(), 1u);
}

TEST_F(OperationQueue, ARequestGivenUpUnderWayEndsAtOnce)
{
    auto session = ready_session();
    sim.set_fault(reader, "silent", 1);
    TransferOutcome outcome;
    const auto due = Clock::now() + 10s;
    session->write_apdu(get_challenge, due, [&](Outcome<Bytes> reply) { outcome = outcome_of(std::move(reply)); });
    run_for(100ms);
    session->cancel(due, Failure::DeadlinePassed);
    ASSERT_TRUE(run_until([&] { return outcome.completed; }, 1s));
    EXPECT_EQ(outcome.failure, Failure::DeadlinePassed);
}

} // namespace
