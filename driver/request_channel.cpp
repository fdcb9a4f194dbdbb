#include "driver/request_channel.h"

#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "driver/request_protocol.h"
#include "worker/slot_table.h"

int pcscsidesock = -1;
int btsidesocket = -1;

namespace {

// pcscd may call entry points of the same reader from two threads at once
// (its polling thread and a client thread). Without this lock one of them
// could read the reply meant for the other. It also guards pcscsidesock.
std::mutex channel_mutex;

using ReplyArea = std::array<std::uint8_t, request_area_size>;

// Closes the PC/SC end after the worker end went away. Caller holds the lock.
void close_channel_locked()
{
    close(pcscsidesock);
    pcscsidesock = -1;
}

// A write of 0 bytes, or one refused because the worker end is closed (the
// kernel reports EPIPE rather than 0), and a read of 0 bytes mean the worker
// end is gone.
bool worker_end_gone(ssize_t result)
{
    return result == 0 || (result < 0 && errno == EPIPE);
}

// One request and its reply. Returns the reply length, or -1 on a channel
// failure.
ssize_t exchange(std::uint8_t slot, std::uint8_t opcode, std::span<const std::uint8_t> payload,
                 std::span<std::uint8_t> reply)
{
    std::uint8_t header[request_header_size] = {slot, opcode};
    iovec parts[2] = {{header, sizeof header},
                      {const_cast<std::uint8_t *>(payload.data()), payload.size()}};
    msghdr request{};
    request.msg_iov = parts;
    request.msg_iovlen = payload.empty() ? 1 : 2;

    std::lock_guard lock(channel_mutex);
    // MSG_NOSIGNAL: a closed worker end must not raise SIGPIPE in the daemon.
    ssize_t sent = sendmsg(pcscsidesock, &request, MSG_NOSIGNAL);
    if (worker_end_gone(sent)) {
        close_channel_locked();
        return -1;
    }
    if (sent < 0)
        return -1;

    ssize_t received = recv(pcscsidesock, reply.data(), reply.size(), 0);
    if (received == 0) {
        close_channel_locked();
        return -1;
    }
    return received < 0 ? -1 : received;
}

// Copies the data after the status byte of a status reply into the caller's
// buffer. Returns the status byte, or -1 if the data do not fit.
int take_status_reply(std::span<const std::uint8_t> reply, std::uint8_t *data, unsigned long *length)
{
    std::size_t data_length = reply.size() - 1;
    if (*length < data_length)
        return -1;
    std::memcpy(data, reply.data() + 1, data_length);
    *length = data_length;
    return reply[0];
}

int request_raw_reply(std::uint8_t slot, std::uint8_t opcode, std::span<std::uint8_t> buffer)
{
    ssize_t n = exchange(slot, opcode, {}, buffer);
    return n < 2 ? -1 : 0;
}

} // namespace

void close_pcsc_end()
{
    std::lock_guard lock(channel_mutex);
    if (pcscsidesock >= 0)
        close_channel_locked();
}

void create_request_channel()
{
    int pair[2] = {-1, -1};
    std::lock_guard lock(channel_mutex);
    // A failed pair leaves -1 on both ends; every request then fails with -1
    // and the next start of a worker tries again.
    socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair);
    btsidesocket = pair[0];
    pcscsidesock = pair[1];
}

int icc_reset(std::uint8_t slot, std::uint8_t *atr, unsigned long *atr_length)
{
    ReplyArea reply;
    ssize_t n = exchange(slot, REQ_RESET, {}, reply);
    if (n < 1)
        return -1;
    if (atr == nullptr || atr_length == nullptr)
        return reply[0];
    return take_status_reply(std::span(reply.data(), n), atr, atr_length);
}

int icc_power_off(std::uint8_t slot)
{
    ReplyArea reply;
    ssize_t n = exchange(slot, REQ_POWER_OFF, {}, reply);
    return n < 1 ? -1 : reply[0];
}

int write_apdu(std::uint8_t slot, std::span<const std::uint8_t> apdu, std::uint8_t *response,
               unsigned long *response_length)
{
    if (apdu.size() > max_request_payload)
        return -1;
    ReplyArea reply;
    ssize_t n = exchange(slot, REQ_APDU, apdu, reply);
    if (n < 1)
        return -1;
    return take_status_reply(std::span(reply.data(), n), response, response_length);
}

int write_rpc_ext(std::uint8_t slot, std::span<const std::uint8_t> message, std::uint8_t *answer,
                  unsigned long *answer_length)
{
    if (message.size() > max_request_payload)
        return -1;
    ReplyArea reply;
    ssize_t n = exchange(slot, REQ_RPC, message, reply);
    if (n < 1 || *answer_length < static_cast<unsigned long>(n))
        return -1;
    std::memcpy(answer, reply.data(), n);
    *answer_length = n;
    return reply[0] == reply_failure ? -1 : 0;
}

int get_pemra_ieee(std::uint8_t slot, std::span<std::uint8_t> buffer)
{
    return request_raw_reply(slot, REQ_IEEE, buffer);
}

int get_pemra_descriptor(std::uint8_t slot, std::span<std::uint8_t> buffer)
{
    return request_raw_reply(slot, REQ_DESCRIPTOR, buffer);
}

std::int32_t get_card_status(std::uint8_t slot)
{
    if (slot >= pemra_devlist_length1)
        return 0;
    return pemra_statuslist[slot].load(std::memory_order_relaxed);
}

std::int32_t get_apdu_len(std::uint8_t slot)
{
    if (slot >= pemra_devlist_length1)
        return 0;
    return max_apdu_sizes[slot].load(std::memory_order_relaxed);
}
