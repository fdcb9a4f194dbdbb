// Any request messages through RequestDispatch::pipe_read_cb, the worker's
// end of the request channel, with a scripted session in the slot: nothing may crash or reach
// outside the request, every request gets exactly the one reply its slot,
// session and opcode call for (none for an unknown opcode, none once the
// PC/SC end is closed), and no reply is empty, which the PC/SC side would
// take for a closed channel. A PC/SC end that goes away before its reply
// must not raise SIGPIPE.
//
// Input: flags (bit 0: a session is in the slot, bit 1: it is ready, bit 2:
// it knows its address, bit 3: the PC/SC end closes after the last request),
// then the session's descriptor, address, answer to reset, response APDU and
// RPC answer, then the requests; each string and request is a two-byte
// length, low byte first, and its bytes.
#include <sys/socket.h>
#include <unistd.h>

#include <glib.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "common/reader_messages.h"
#include "tests/driver/scripted_session.h"
#include "worker/request_dispatch.h"
#include "worker/request_protocol.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/fuzz/require.h"

namespace {

using Message = std::vector<std::uint8_t>;

enum Flags : std::uint8_t {
    in_slot = 1,
    ready = 2,
    knows_address = 4,
    pcsc_end_closes = 8,
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

Message with_status(std::uint8_t status, const Bytes &data)
{
    Message reply{status};
    reply.insert(reply.end(), data.begin(), data.end());
    return reply;
}

const Message failure{reply_failure};

// The reply the PC/SC side must get for a request; none for an unknown
// opcode.
std::optional<Message> expected_reply(const Scenario &scenario, const Message &request)
{
    const ReaderScript &script = scenario.script;
    if (request[0] >= SlotTable::pemra_devlist_length1 || !(scenario.flags & in_slot) || !script.ready)
        return failure;
    const std::uint8_t opcode = request.size() > 1 ? request[1] : REQ_RESET;
    const Bytes payload(request.begin() + std::min(request.size(), request_header_size), request.end());
    switch (opcode) {
    case REQ_RESET:
        return script.atr.empty() ? failure : with_status(reply_success, script.atr);
    case REQ_APDU:
        return script.apdu_response.empty() ? failure : with_status(reply_success, script.apdu_response);
    case REQ_POWER_OFF:
        return Message{reply_success};
    case REQ_DESCRIPTOR:
        return script.descriptor.empty() ? Message{reply_success} : script.descriptor;
    case REQ_RPC:
        if (!reader_message::vendor_message_allowed(payload) || script.rpc_answer.empty())
            return failure;
        return script.rpc_answer;
    case REQ_IEEE:
        if (!script.address || script.address->empty())
            return failure;
        return Message(script.address->begin(), script.address->end());
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

std::vector<Message> replies_waiting(int pcsc_end)
{
    std::vector<Message> replies;
    Message area(2 * max_request_size);
    ssize_t n;
    while ((n = recv(pcsc_end, area.data(), area.size(), MSG_DONTWAIT)) >= 0)
        replies.emplace_back(area.begin(), area.begin() + n);
    return replies;
}

void serve(RequestDispatch &dispatch, const Scenario &scenario, const Message &request, int pcsc_end, bool closes)
{
    send(pcsc_end, request.data(), request.size(), 0);
    if (closes)
        close(pcsc_end);
    const bool keep_watch = dispatch.pipe_read_cb(Glib::IOCondition::IO_IN);
    run_pending_completions();
    if (closes)
        return;
    const std::vector<Message> replies = replies_waiting(pcsc_end);
    if (request.empty()) {
        // A message of no bytes reads like a closed PC/SC end.
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
    int pair[2];
    require(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair) == 0);
    RequestSocketPair channel;
    channel.btsidesocket = pair[0];
    SlotTable slots;
    // Requests sent raw carry no send time (the clock's start): their time
    // runs from there, and an hour is left of it.
    const auto deadline = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch() + std::chrono::hours(1));
    RequestDispatch dispatch(channel, slots, deadline);
    if (scenario.flags & in_slot)
        slots.pemra_devlist[0] = std::make_shared<ScriptedSession>(scenario.script);

    for (std::size_t i = 0; i < scenario.requests.size(); ++i) {
        const bool closes = (scenario.flags & pcsc_end_closes) && i + 1 == scenario.requests.size();
        serve(dispatch, scenario, scenario.requests[i], pair[1], closes);
    }

    slots.pemra_devlist[0].reset();
    close(pair[0]);
    if (!(scenario.flags & pcsc_end_closes) || scenario.requests.empty())
        close(pair[1]);
    return 0;
}
