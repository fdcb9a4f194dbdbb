#include "driver/request_dispatch.h"

#include <sys/socket.h>

#include <array>
#include <memory>

#include "device/pemra_session.h"
#include "driver/request_channel.h"
#include "driver/request_protocol.h"
#include "worker/slot_table.h"

namespace {

ssize_t send_message(std::span<const iovec> parts)
{
    msghdr message{};
    message.msg_iov = const_cast<iovec *>(parts.data());
    message.msg_iovlen = parts.size();
    // MSG_NOSIGNAL: a closed PC/SC end must not raise SIGPIPE in the daemon.
    return sendmsg(btsidesocket, &message, MSG_NOSIGNAL);
}

void reply_failure_byte()
{
    write_answer(reply_failure);
}

// Completion of reset and APDU: a status reply with the session's bytes.
void answer_with_status(const Bytes &data)
{
    if (data.empty())
        reply_failure_byte();
    else
        write_answer(reply_success, data);
}

// The reader's answer starts with its own result byte, which the PC/SC side
// reads as the status: it is sent unchanged.
void answer_rpc(const Bytes &answer)
{
    if (answer.empty())
        reply_failure_byte();
    else
        write_answer_nostatus(answer);
}

bool rpc_message_allowed(std::span<const std::uint8_t> message)
{
    return !message.empty() && message[0] != key_exchange_request_code &&
           message[0] != session_key_request_code;
}

// An empty message would look like a closed channel to the PC/SC side, so a
// missing or empty address is answered with the failure byte.
void answer_ieee(const PemraSession &session)
{
    std::optional<std::string> address = session.get_ieee();
    if (!address || address->empty()) {
        reply_failure_byte();
        return;
    }
    write_answer_nostatus(std::span(reinterpret_cast<const std::uint8_t *>(address->data()),
                                    address->size()));
}

void answer_descriptor(const PemraSession &session)
{
    std::span<const std::uint8_t> descriptor = session.descriptor_bytes();
    if (descriptor.empty())
        write_answer(reply_success);
    else
        write_answer_nostatus(descriptor);
}

// Each completion holds a reference on the session, so the session outlives
// the request even if it leaves the slot meanwhile.
void dispatch(const std::shared_ptr<PemraSession> &session, std::uint8_t opcode,
              std::span<const std::uint8_t> payload)
{
    switch (opcode) {
    case REQ_RESET:
        session->reset_card([session](Bytes atr) { answer_with_status(atr); });
        break;
    case REQ_APDU:
        session->write_apdu(payload, [session](Bytes response) { answer_with_status(response); });
        break;
    case REQ_POWER_OFF:
        // Answered success whatever the reader did with the shutdown.
        session->shutdown([session] { write_answer(reply_success); });
        break;
    case REQ_DESCRIPTOR:
        answer_descriptor(*session);
        break;
    case REQ_RPC:
        if (rpc_message_allowed(payload))
            session->write_rpc(payload, true, [session](Bytes answer) { answer_rpc(answer); });
        else
            reply_failure_byte();
        break;
    case REQ_IEEE:
        answer_ieee(*session);
        break;
    }
}

void serve_request(std::span<const std::uint8_t> request)
{
    std::uint8_t slot = request[0];
    if (slot >= pemra_devlist_length1) {
        reply_failure_byte();
        return;
    }
    std::shared_ptr<PemraSession> session = pemra_devlist[slot];
    if (!session || !session->is_ready()) {
        reply_failure_byte();
        return;
    }
    std::uint8_t opcode = request[1];
    // No caller of ours sends an unknown opcode; it gets no reply.
    if (opcode > last_opcode)
        return;
    dispatch(session, opcode, request.subspan(request_header_size));
}

} // namespace

bool pipe_read_cb(Glib::IOCondition)
{
    // Cleared, so that a one-byte request reads as opcode 0 rather than
    // as leftovers of an earlier request.
    std::array<std::uint8_t, request_area_size> area{};
    ssize_t n = recv(btsidesocket, area.data(), area.size(), 0);
    if (n == 0)
        return false; // the PC/SC end is closed: remove the watch
    if (n < 0)
        return true;
    serve_request(std::span(area.data(), std::max<std::size_t>(n, request_header_size)));
    return true;
}

ssize_t write_answer(std::uint8_t status, std::span<const std::uint8_t> data)
{
    std::array<iovec, 2> parts = {iovec{&status, 1},
                                  iovec{const_cast<std::uint8_t *>(data.data()), data.size()}};
    return send_message(std::span(parts.data(), data.empty() ? 1 : 2));
}

ssize_t write_answer_nostatus(std::span<const std::uint8_t> data)
{
    iovec part{const_cast<std::uint8_t *>(data.data()), data.size()};
    return send_message(std::span(&part, 1));
}
