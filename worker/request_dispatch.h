#pragma once

#include <chrono>
#include <functional>
#include <cstdint>
#include <span>
#include <vector>

#include <glibmm/iochannel.h>

#include "common/bytes.h"
#include "common/failure.h"
#include "worker/request_protocol.h"
#include "worker/request_socket_pair.h"
#include "worker/slot_table.h"

class PemraSession;

// The worker's end of the request channel: reads one request at a time from
// btsidesocket, serves it with the session in the slot and writes one reply.
class RequestDispatch {
public:
    RequestDispatch(RequestSocketPair &channel, SlotTable &slots,
                    std::chrono::milliseconds deadline = request_deadline);

    // Handler of the worker's read watch on btsidesocket. Returns false
    // (removing the watch) once the PC/SC end is closed.
    bool pipe_read_cb(Glib::IOCondition condition);

    // Sends [status][data] as one message.
    ssize_t write_answer(std::uint8_t status, std::span<const std::uint8_t> data = {}) const;
    // Sends the bytes as one message, without a status byte.
    ssize_t write_answer_nostatus(std::span<const std::uint8_t> data) const;

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
    void answer_status(const Outcome<Bytes> &outcome) const;
    void answer_rpc(const Outcome<Bytes> &outcome) const;
    void answer_ieee(const PemraSession &session) const;
    void answer_descriptor(const PemraSession &session) const;

    RequestSocketPair &channel_;
    SlotTable &slots_;
    std::chrono::milliseconds deadline_;
    // One more byte than the largest request, so that a longer one shows.
    std::vector<std::uint8_t> area_;
};
