#include "worker/request_dispatch.h"


#include <algorithm>
#include <memory>
#include <optional>
#include <string>

#include "common/reader_messages.h"
#include "common/thread_loop.h"
#include "device/pemra_session.h"
#include "worker/request_protocol.h"

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

std::span<const std::uint8_t> bytes_of(const std::string &text)
{
    return std::span(reinterpret_cast<const std::uint8_t *>(text.data()), text.size());
}

} // namespace

RequestDispatch::RequestDispatch(RequestSocketPair &channel, SlotTable &slots, std::chrono::milliseconds deadline)
    : channel_(channel), slots_(slots), deadline_(deadline), area_(max_request_size)
{
}

bool RequestDispatch::pipe_read_cb(Glib::IOCondition)
{
    // Cleared, so that a one-byte request reads as opcode 0 rather than as
    // leftovers of an earlier request.
    std::fill_n(area_.begin(), request_header_size, 0);
    const ssize_t n = channel_.read_request(area_);
    if (n == 0)
        return false; // the PC/SC end is closed: remove the watch
    if (n < 0)
        return true;
    // Longer than any request the PC/SC side sends: never served cut short.
    // One past due (the worker was held) is not carried out late, when
    // nobody waits for it: the daemon's side waits a little longer than the
    // deadline, then gives up.
    const Deadline due = channel_.request_sent_at() + deadline_;
    if (static_cast<std::size_t>(n) > area_.size() || std::chrono::steady_clock::now() >= due) {
        write_answer(reply_failure);
        return true;
    }
    serve_request(std::span(area_.data(), std::max<std::size_t>(n, request_header_size)), due);
    return true;
}

void RequestDispatch::serve_request(std::span<const std::uint8_t> request, Deadline due)
{
    const std::uint8_t slot = request[0];
    if (slot >= SlotTable::pemra_devlist_length1) {
        write_answer(reply_failure);
        return;
    }
    const std::shared_ptr<PemraSession> session = slots_.pemra_devlist[slot];
    if (!session || !session->is_ready()) {
        write_answer(reply_failure);
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
                request->dispatch.write_answer(reply_failure);
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
        session->reset_card(due, answered_by(session, due, &RequestDispatch::answer_status));
        break;
    case REQ_APDU:
        session->write_apdu(payload, due, answered_by(session, due, &RequestDispatch::answer_status));
        break;
    case REQ_POWER_OFF:
        // Answered success whatever the reader did with the shutdown.
        session->shutdown(due, [request = pending(session, due)] {
            if (request->take_answer())
                request->dispatch.write_answer(reply_success);
        });
        break;
    case REQ_DESCRIPTOR:
        answer_descriptor(*session);
        break;
    case REQ_RPC:
        // A message the daemon's side would refuse is not passed on either.
        if (!reader_message::vendor_message_allowed(payload)) {
            write_answer(reply_failure);
            break;
        }
        session->write_rpc(payload, true, due, answered_by(session, due, &RequestDispatch::answer_rpc));
        break;
    case REQ_IEEE:
        answer_ieee(*session);
        break;
    }
}

// Reset and APDU: a status reply with the session's bytes. No answer to
// reset and no response APDU at all fail too.
void RequestDispatch::answer_status(const Outcome<Bytes> &outcome) const
{
    if (outcome && !outcome->empty())
        write_answer(reply_success, *outcome);
    else
        write_answer(reply_failure);
}

// The reader's answer starts with its own result byte, which the PC/SC side
// reads as the status: it is sent unchanged.
void RequestDispatch::answer_rpc(const Outcome<Bytes> &outcome) const
{
    if (outcome && !outcome->empty())
        write_answer_nostatus(*outcome);
    else
        write_answer(reply_failure);
}

// An empty message would look like a closed channel to the PC/SC side, so a
// missing or empty address is answered with the failure byte.
void RequestDispatch::answer_ieee(const PemraSession &session) const
{
    const std::optional<std::string> address = session.get_ieee();
    if (address && !address->empty())
        write_answer_nostatus(bytes_of(*address));
    else
        write_answer(reply_failure);
}

void RequestDispatch::answer_descriptor(const PemraSession &session) const
{
    const std::span<const std::uint8_t> descriptor = session.descriptor_bytes();
    if (descriptor.empty())
        write_answer(reply_success);
    else
        write_answer_nostatus(descriptor);
}

ssize_t RequestDispatch::write_answer(std::uint8_t status, std::span<const std::uint8_t> data) const
{
    return channel_.send_reply(std::span(&status, 1), data);
}

ssize_t RequestDispatch::write_answer_nostatus(std::span<const std::uint8_t> data) const
{
    return channel_.send_reply({}, data);
}
