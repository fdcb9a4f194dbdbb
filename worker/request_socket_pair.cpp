#include "worker/request_socket_pair.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

// A write refused because the worker end is closed (the kernel reports
// EPIPE) and a read of 0 bytes mean that the worker end is gone. A reply of 0
// bytes cannot be told from that; the worker never sends one.
bool worker_end_gone(ssize_t result)
{
    return result == 0 || (result < 0 && errno == EPIPE);
}

iovec part(const void *data, std::size_t length)
{
    return {const_cast<void *>(data), length};
}

ssize_t send_parts(int socket, std::span<iovec> parts)
{
    msghdr message{};
    message.msg_iov = parts.data();
    message.msg_iovlen = parts.size();
    // MSG_NOSIGNAL: a closed peer must not raise SIGPIPE in the daemon.
    return sendmsg(socket, &message, MSG_NOSIGNAL);
}

bool fits(ssize_t length, const ReplyLayout &layout)
{
    const std::size_t data_length = static_cast<std::size_t>(length) - (layout.status_first ? 1 : 0);
    return data_length <= layout.data.size();
}

// Waits until the socket has a message (or its peer is gone), for at most
// `limit` in all, however often a signal interrupts the wait.
bool readable_within(int socket, std::chrono::milliseconds limit)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + limit;
    pollfd watched{socket, POLLIN, 0};
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now());
        const int ready = poll(&watched, 1, static_cast<int>(std::max<std::int64_t>(left.count(), 0)));
        if (ready > 0)
            return true; // a message or a closed peer: the read tells which
        if (ready == 0)
            return false;
        if (errno != EINTR)
            return true; // a socket that cannot be polled fails at the read
    }
}

} // namespace

void RequestSocketPair::make()
{
    int pair[2] = {-1, -1};
    std::lock_guard lock(mutex_);
    close_pcsc_end_locked();
    given_up_ = false;
    // A failed pair leaves -1 on both ends: every request then fails.
    socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair);
    btsidesocket = pair[0];
    pcscsidesock = pair[1];
}

void RequestSocketPair::close_both()
{
    std::lock_guard lock(mutex_);
    close_pcsc_end_locked();
    if (btsidesocket >= 0)
        close(btsidesocket);
    btsidesocket = -1;
}

// Without the lock, which the daemon's side holds while it waits: only the
// worker closes its end, after this.
void RequestSocketPair::shut_down_worker_end() const
{
    if (btsidesocket >= 0)
        shutdown(btsidesocket, SHUT_RDWR);
}

void RequestSocketPair::close_pcsc_end_locked()
{
    if (pcscsidesock >= 0)
        close(pcscsidesock);
    pcscsidesock = -1;
}

Outcome<ReplyReceived> RequestSocketPair::exchange(std::uint8_t slot, std::uint8_t opcode,
                                                   std::span<const std::uint8_t> payload, ReplyLayout layout)
{
    const std::uint8_t header[request_header_size] = {slot, opcode};
    iovec parts[] = {part(header, sizeof header), part(payload.data(), payload.size())};
    std::lock_guard lock(mutex_);
    if (!drop_late_reply_locked())
        return Failure::NotAnswered;
    sent_at_ = std::chrono::steady_clock::now().time_since_epoch().count();
    const ssize_t sent = send_parts(pcscsidesock, std::span(parts, payload.empty() ? 1 : 2));
    if (worker_end_gone(sent))
        close_pcsc_end_locked();
    if (sent <= 0)
        return Failure::ChannelClosed;
    return receive_reply_locked(layout);
}

// A request is sent only once the reply to the one given up has come: the
// channel carries no identifiers, so that reply would be taken for the next.
bool RequestSocketPair::drop_late_reply_locked()
{
    if (!given_up_)
        return true;
    if (recv(pcscsidesock, nullptr, 0, MSG_DONTWAIT) < 0 && errno == EAGAIN)
        return false;
    given_up_ = false;
    return true;
}

Outcome<ReplyReceived> RequestSocketPair::receive_reply_locked(ReplyLayout layout)
{
    // The worker answers within its own deadline unless it is held; the
    // daemon's thread (and with it pcscd's lock on the reader) is not.
    if (!readable_within(pcscsidesock, reply_wait)) {
        given_up_ = true;
        return Failure::NotAnswered;
    }
    // The reply's length first, without taking it: a reply that does not fit
    // is a failure, never a short success.
    const ssize_t length = recv(pcscsidesock, nullptr, 0, MSG_PEEK | MSG_TRUNC);
    if (worker_end_gone(length))
        close_pcsc_end_locked();
    if (length <= 0)
        return Failure::ChannelClosed;
    if (!fits(length, layout)) {
        recv(pcscsidesock, nullptr, 0, 0);
        return Failure::DoesNotFit;
    }
    ReplyReceived reply;
    iovec parts[] = {part(&reply.status, 1), part(layout.data.data(), layout.data.size())};
    msghdr message{};
    message.msg_iov = layout.status_first ? parts : parts + 1;
    message.msg_iovlen = layout.status_first ? 2 : 1;
    const ssize_t received = recvmsg(pcscsidesock, &message, 0);
    if (received != length)
        return Failure::ChannelClosed;
    reply.length = static_cast<std::size_t>(received) - (layout.status_first ? 1 : 0);
    return reply;
}

ssize_t RequestSocketPair::read_request(std::span<std::uint8_t> area) const
{
    return recv(btsidesocket, area.data(), area.size(), MSG_TRUNC);
}

std::chrono::steady_clock::time_point RequestSocketPair::request_sent_at() const
{
    return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(sent_at_.load()));
}

ssize_t RequestSocketPair::send_reply(std::span<const std::uint8_t> head, std::span<const std::uint8_t> data) const
{
    iovec parts[] = {part(head.data(), head.size()), part(data.data(), data.size())};
    return send_parts(btsidesocket, std::span(parts, data.empty() ? 1 : 2));
}
