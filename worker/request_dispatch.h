#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include <glibmm/iochannel.h>

#include "channel/request_channel.h"
#include "common/bytes.h"
#include "common/failure.h"

class PemraSession;

// The worker's serving of the request channel: reads one request at a time
// from its end, serves it with the session in the slot and answers once.
class RequestDispatch {
public:
    // The session in a slot, if the slot exists and holds one.
    using SessionIn = std::function<std::shared_ptr<PemraSession>(std::uint8_t slot)>;

    RequestDispatch(RequestChannel &channel, SessionIn session_in,
                    std::chrono::milliseconds deadline = request_deadline);

    // Handler of the worker's watch on its end of the channel: serves the
    // request that has come. Returns false (removing the watch) once the
    // daemon's end is closed.
    bool serve_next(Glib::IOCondition condition);

private:
    struct PendingRequest;
    using Deadline = std::chrono::steady_clock::time_point;

    void serve_request(std::span<const std::uint8_t> request, Deadline due);
    void dispatch(const std::shared_ptr<PemraSession> &session, std::uint8_t opcode,
                  std::span<const std::uint8_t> payload, Deadline due);
    std::shared_ptr<PendingRequest> pending(const std::shared_ptr<PemraSession> &session, Deadline due);
    // The completion of a session operation: its outcome is the answer,
    // unless the deadline answered first.
    using Answer = void (RequestDispatch::*)(const Outcome<Bytes> &) const;
    std::function<void(Outcome<Bytes>)> answered_by(const std::shared_ptr<PemraSession> &session, Deadline due,
                                                    Answer answer);
    void answer_data(const Outcome<Bytes> &outcome) const;
    void answer_rpc(const Outcome<Bytes> &outcome) const;
    void answer_attribute(std::span<const std::uint8_t> value) const;

    RequestChannel &channel_;
    SessionIn session_in_;
    std::chrono::milliseconds deadline_;
    // One more byte than the largest request, so that a longer one shows.
    std::vector<std::uint8_t> area_;
};
