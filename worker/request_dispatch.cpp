#include "worker/request_dispatch.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <string>

#include "common/reader_messages.h"
#include "common/thread_loop.h"
#include "device/pemra_session.h"

// One request served by a session operation: answered once, by the
// operation's completion or by the deadline, whichever comes first. It keeps
// the session alive until then, even if the session leaves the slot.
struct RequestDispatch::PendingRequest {
    const RequestDispatch &dispatch;
    std::shared_ptr<PemraSession> session;
    Deadline due;
    sigc::connection deadline;
    bool answered = false;

    // True for the first answer only.
    bool take_answer()
    {
        if (std::exchange(answered, true))
            return false;
        deadline.disconnect();
        return true;
    }
};

namespace {

constexpr std::size_t shortest_attribute = 2;

std::span<const std::uint8_t> bytes_of(const std::string &text)
{
    return std::span(reinterpret_cast<const std::uint8_t *>(text.data()), text.size());
}

} // namespace

RequestDispatch::RequestDispatch(RequestChannel &channel, SessionIn session_in, std::chrono::milliseconds deadline)
    : channel_(channel), session_in_(std::move(session_in)), deadline_(deadline), area_(max_request_size)
{
}

bool RequestDispatch::serve_next(Glib::IOCondition)
{
    // Cleared, so that a one-byte request reads as opcode 0 rather than as
    // leftovers of an earlier request.
    std::fill_n(area_.begin(), request_header_size, 0);
    const ssize_t n = channel_.read_request(area_);
    if (n == 0)
        return false; // the daemon's end is closed: remove the watch
    if (n < 0)
        return true;
    // Longer than any request the daemon's side sends: never served cut
    // short. One past due (the worker was held) is not carried out late,
    // when nobody waits for it: the daemon's side waits a little longer than
    // the deadline, then gives up.
    const Deadline due = channel_.request_sent_at() + deadline_;
    if (static_cast<std::size_t>(n) > area_.size()) {
        channel_.fail(Failure::Refused);
        return true;
    }
    if (std::chrono::steady_clock::now() >= due) {
        channel_.fail(Failure::DeadlinePassed);
        return true;
    }
    serve_request(std::span(area_.data(), std::max<std::size_t>(n, request_header_size)), due);
    return true;
}

void RequestDispatch::serve_request(std::span<const std::uint8_t> request, Deadline due)
{
    const std::shared_ptr<PemraSession> session = session_in_(request[0]);
    if (!session || !session->is_ready()) {
        channel_.fail(Failure::NoSession);
        return;
    }
    const std::uint8_t opcode = request[1];
    // No caller of ours sends an unknown opcode; it gets no reply.
    if (opcode > last_opcode)
        return;
    dispatch(session, opcode, request.subspan(request_header_size), due);
}

std::shared_ptr<RequestDispatch::PendingRequest> RequestDispatch::pending(const std::shared_ptr<PemraSession> &session,
                                                                          Deadline due)
{
    auto request = std::make_shared<PendingRequest>(PendingRequest{*this, session, due, {}, false});
    // Rounded up, so that the session finds the request past due.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(due - std::chrono::steady_clock::now());
    request->deadline = thread_loop::timeout(
        [weak = std::weak_ptr(request)] {
            if (auto request = weak.lock(); request && request->take_answer()) {
                request->dispatch.channel_.fail(Failure::DeadlinePassed);
                request->session->cancel(request->due, Failure::DeadlinePassed);
            }
            return false;
        },
        std::max(left, std::chrono::milliseconds(0)) + std::chrono::milliseconds(1));
    return request;
}

std::function<void(Outcome<Bytes>)> RequestDispatch::answered_by(const std::shared_ptr<PemraSession> &session,
                                                                 Deadline due, Answer answer)
{
    return [request = pending(session, due), answer](Outcome<Bytes> outcome) {
        if (request->take_answer())
            (request->dispatch.*answer)(outcome);
    };
}

void RequestDispatch::dispatch(const std::shared_ptr<PemraSession> &session, std::uint8_t opcode,
                               std::span<const std::uint8_t> payload, Deadline due)
{
    switch (opcode) {
    case REQ_RESET:
        session->reset_card(due, answered_by(session, due, &RequestDispatch::answer_data));
        break;
    case REQ_APDU:
        session->write_apdu(payload, due, answered_by(session, due, &RequestDispatch::answer_data));
        break;
    case REQ_POWER_OFF:
        // Answered success whatever the reader did with the shutdown.
        session->shutdown(due, [request = pending(session, due)] {
            if (request->take_answer())
                request->dispatch.channel_.answer();
        });
        break;
    case REQ_DESCRIPTOR:
        answer_attribute(session->descriptor_bytes());
        break;
    case REQ_RPC:
        // A message the daemon's side would refuse is not passed on either.
        if (!reader_message::vendor_message_allowed(payload)) {
            channel_.fail(Failure::Refused);
            break;
        }
        session->write_rpc(payload, true, due, answered_by(session, due, &RequestDispatch::answer_rpc));
        break;
    case REQ_IEEE: {
        const std::string address = session->get_ieee().value_or("");
        answer_attribute(bytes_of(address));
        break;
    }
    }
}

// No answer to reset and no response APDU at all fail too.
void RequestDispatch::answer_data(const Outcome<Bytes> &outcome) const
{
    if (!outcome)
        channel_.fail(outcome.failure());
    else if (outcome->empty())
        channel_.fail(Failure::NotServed);
    else
        channel_.answer(*outcome);
}

// The reader's whole answer, its result byte first, unless that byte says
// the reader could not serve the message.
void RequestDispatch::answer_rpc(const Outcome<Bytes> &outcome) const
{
    if (outcome && !outcome->empty() && (*outcome)[0] == reader_message::reply_failed)
        channel_.fail(Failure::NotServed);
    else
        answer_data(outcome);
}

// An attribute of fewer than 2 bytes (none at all, a descriptor of its
// length byte alone) has never been served: its one byte was all that the
// channel's failure reply had once.
void RequestDispatch::answer_attribute(std::span<const std::uint8_t> value) const
{
    if (value.size() < shortest_attribute)
        channel_.fail(Failure::NotServed);
    else
        channel_.answer(value);
}
