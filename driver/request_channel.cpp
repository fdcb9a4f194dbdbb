#include "driver/request_channel.h"

#include <algorithm>

#include "common/reader_messages.h"
#include "worker/request_protocol.h"
#include "worker/worker.h"

namespace {

Outcome<ReplyReceived> exchange(std::uint8_t slot, std::uint8_t opcode, std::span<const std::uint8_t> payload,
                                ReplyLayout layout)
{
    if (payload.size() > max_request_payload)
        return Failure::Refused;
    return Worker::instance().requests.exchange(slot, opcode, payload, layout);
}

// A status reply: the data after the status byte, if that byte says success.
Outcome<std::size_t> status_reply(std::uint8_t slot, std::uint8_t opcode, std::span<const std::uint8_t> payload,
                                  std::span<std::uint8_t> data)
{
    Outcome<ReplyReceived> reply = exchange(slot, opcode, payload, {true, data});
    if (!reply)
        return reply.failure();
    if (reply->status != reply_success)
        return Failure::NotServed;
    return reply->length;
}

// A raw reply, read straight into the caller's buffer.
Outcome<std::size_t> raw_reply(std::uint8_t slot, std::uint8_t opcode, std::span<std::uint8_t> buffer)
{
    Outcome<ReplyReceived> reply = exchange(slot, opcode, {}, {false, buffer});
    if (!reply)
        return reply.failure();
    if (reply->length < 2)
        return Failure::NotServed;
    return reply->length;
}

} // namespace

Outcome<std::size_t> icc_reset(std::uint8_t slot, std::span<std::uint8_t> atr)
{
    return status_reply(slot, REQ_RESET, {}, atr);
}

Done icc_power_off(std::uint8_t slot)
{
    Outcome<std::size_t> reply = status_reply(slot, REQ_POWER_OFF, {}, {});
    return reply ? succeeded() : Done(reply.failure());
}

Outcome<std::size_t> write_apdu(std::uint8_t slot, std::span<const std::uint8_t> apdu,
                                std::span<std::uint8_t> response)
{
    return status_reply(slot, REQ_APDU, apdu, response);
}

Outcome<std::size_t> write_rpc_ext(std::uint8_t slot, std::span<const std::uint8_t> message,
                                   std::span<std::uint8_t> answer)
{
    if (!reader_message::vendor_message_allowed(message))
        return Failure::Refused;
    Outcome<ReplyReceived> reply = exchange(slot, REQ_RPC, message, {false, answer});
    if (!reply)
        return reply.failure();
    if (answer[0] == reply_failure)
        return Failure::NotServed;
    return reply->length;
}

Outcome<std::size_t> get_pemra_ieee(std::uint8_t slot, std::span<std::uint8_t> buffer)
{
    return raw_reply(slot, REQ_IEEE, buffer);
}

Outcome<std::size_t> get_pemra_descriptor(std::uint8_t slot, std::span<std::uint8_t> buffer)
{
    return raw_reply(slot, REQ_DESCRIPTOR, buffer);
}

std::int32_t get_card_status(std::uint8_t slot)
{
    return Worker::instance().slots.card_status(slot);
}

std::int32_t get_apdu_len(std::uint8_t slot)
{
    return std::min<std::int32_t>(Worker::instance().slots.max_apdu_size(slot), max_request_payload);
}
