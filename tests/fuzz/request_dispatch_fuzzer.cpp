// Any request messages through RequestDispatch::serve_next, the worker's
// serving of the request channel, with a scripted session in the slot:
// nothing may crash or reach outside the request, every request gets exactly
// the one reply its slot, session and opcode call for (none for an unknown
// opcode, none once the daemon's end is closed), and no reply is empty, which
// the daemon's side would take for a closed channel. A daemon's end that goes
// away before its reply must not raise SIGPIPE.
//
// Input: flags (bit 0: a session is in the slot, bit 1: it is ready, bit 2:
// it knows its address, bit 3: the daemon's end closes after the last request),
// then the session's descriptor, address, answer to reset, response APDU and
// RPC answer, then the requests; each string and request is a two-byte
// length, low byte first, and its bytes.
#include <sys/socket.h>

#include <glib.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "common/reader_messages.h"
#include "tests/driver/scripted_session.h"
#include "worker/request_dispatch.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/fuzz/require.h"

namespace {

using Message = std::vector<std::uint8_t>;

enum Flags : std::uint8_t {
    in_slot = 1,
    ready = 2,
    knows_address = 4,
    daemon_end_closes = 8,
};

struct Scenario {
    std::uint8_t flags;
    ReaderScript script;
    std::vector<Message> requests;
};

Scenario scenario_of(FuzzInput &input)
{
    Scenario scenario{input.byte(), {}, {}};
    ReaderScript &script = scenario.script;
    script.ready = scenario.flags & ready;
    script.descriptor = input.long_string();
    const Message address = input.long_string();
    if (scenario.flags & knows_address)
        script.address.emplace(address.begin(), address.end());
    script.atr = input.long_string();
    script.apdu_response = input.long_string();
    script.rpc_answer = input.long_string();
    while (!input.empty())
        scenario.requests.push_back(input.long_string());
    return scenario;
}

Message success(const Bytes &data)
{
    Message reply{reply_success};
    reply.insert(reply.end(), data.begin(), data.end());
    return reply;
}

Message failure(Failure failure)
{
    return {status_of(failure)};
}

// A scripted session fails an operation it has no answer for with BadReply.
Message data_or_failure(const Bytes &data)
{
    return data.empty() ? failure(Failure::BadReply) : success(data);
}

// Descriptor and address: fewer than 2 bytes are none.
Message attribute(const Bytes &value)
{
    return value.size() < 2 ? failure(Failure::NotServed) : success(value);
}

// The reply the daemon's side must get for a request; none for an unknown
// opcode.
std::optional<Message> expected_reply(const Scenario &scenario, const Message &request)
{
    const ReaderScript &script = scenario.script;
    if (request[0] != 0 || !(scenario.flags & in_slot) || !script.ready)
        return failure(Failure::NoSession);
    const std::uint8_t opcode = request.size() > 1 ? request[1] : REQ_RESET;
    const Bytes payload(request.begin() + std::min(request.size(), request_header_size), request.end());
    switch (opcode) {
    case REQ_RESET:
        return data_or_failure(script.atr);
    case REQ_APDU:
        return data_or_failure(script.apdu_response);
    case REQ_POWER_OFF:
        return success({});
    case REQ_DESCRIPTOR:
        return attribute(script.descriptor);
    case REQ_RPC:
        if (!reader_message::vendor_message_allowed(payload))
            return failure(Failure::Refused);
        if (!script.rpc_answer.empty() && script.rpc_answer[0] == reader_message::reply_failed)
            return failure(Failure::NotServed);
        return data_or_failure(script.rpc_answer);
    case REQ_IEEE:
        return attribute(script.address ? Bytes(script.address->begin(), script.address->end()) : Bytes());
    default:
        return std::nullopt;
    }
}

// Runs the worker's loop until the session's completions have all run.
void run_pending_completions()
{
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
}

std::vector<Message> replies_waiting(int daemon_end)
{
    std::vector<Message> replies;
    Message area(2 * max_request_size);
    ssize_t n;
    while ((n = recv(daemon_end, area.data(), area.size(), MSG_DONTWAIT)) >= 0)
        replies.emplace_back(area.begin(), area.begin() + n);
    return replies;
}

void serve(RequestDispatch &dispatch, const Scenario &scenario, const Message &request, int daemon_end, bool closes)
{
    send(daemon_end, request.data(), request.size(), 0);
    if (closes)
        shutdown(daemon_end, SHUT_RDWR);
    const bool keep_watch = dispatch.serve_next(Glib::IOCondition::IO_IN);
    run_pending_completions();
    if (closes)
        return;
    const std::vector<Message> replies = replies_waiting(daemon_end);
    if (request.empty()) {
        // A message of no bytes reads like a closed daemon's end.
        require(!keep_watch && replies.empty());
        return;
    }
    require(keep_watch);
    const std::optional<Message> expected = expected_reply(scenario, request);
    require(replies.size() == (expected ? 1u : 0u));
    if (expected)
        require(replies[0] == *expected);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzInput input(data, size);
    const Scenario scenario = scenario_of(input);
    RequestChannel channel;
    channel.make();
    // Slot 0, the only one.
    std::shared_ptr<PemraSession> session;
    if (scenario.flags & in_slot)
        session = std::make_shared<ScriptedSession>(scenario.script);
    // Requests written raw carry no time of sending: the deadline counts from
    // the clock's epoch.
    const auto since_epoch =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch());
    RequestDispatch dispatch(channel, [&](std::uint8_t slot) { return slot == 0 ? session : nullptr; },
                             since_epoch + request_deadline);

    for (std::size_t i = 0; i < scenario.requests.size(); ++i) {
        const bool closes = (scenario.flags & daemon_end_closes) && i + 1 == scenario.requests.size();
        serve(dispatch, scenario, scenario.requests[i], channel.daemon_end_for_fuzzing(), closes);
    }

    return 0;
}
