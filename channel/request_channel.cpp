#include "channel/request_channel.h"

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

RequestChannel::~RequestChannel()
{
    close_both();
}

void RequestChannel::make()
{
    int pair[2] = {-1, -1};
    std::lock_guard lock(mutex_);
    close_daemon_end_locked();
    given_up_ = false;
    // A failed pair leaves -1 on both ends: every request then fails.
    socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair);
    worker_end_ = pair[0];
    daemon_end_ = pair[1];
}

void RequestChannel::close_both()
{
    std::lock_guard lock(mutex_);
    close_daemon_end_locked();
    if (worker_end_ >= 0)
        close(worker_end_);
    worker_end_ = -1;
}

// Without the lock, which the daemon's side holds while it waits: only the
// worker closes its end, after this.
void RequestChannel::shut_down_worker_end() const
{
    if (worker_end_ >= 0)
        shutdown(worker_end_, SHUT_RDWR);
}

void RequestChannel::close_daemon_end_locked()
{
    if (daemon_end_ >= 0)
        close(daemon_end_);
    daemon_end_ = -1;
}

Outcome<std::size_t> RequestChannel::exchange(std::uint8_t slot, RequestOpcode opcode,
                                              std::span<const std::uint8_t> payload, std::span<std::uint8_t> answer)
{
    if (payload.size() > max_request_payload)
        return Failure::Refused;
    const std::uint8_t header[request_header_size] = {slot, opcode};
    iovec parts[] = {part(header, sizeof header), part(payload.data(), payload.size())};
    std::lock_guard lock(mutex_);
    if (!drop_late_reply_locked())
        return Failure::NotAnswered;
    sent_at_ = std::chrono::steady_clock::now().time_since_epoch().count();
    const ssize_t sent = send_parts(daemon_end_, std::span(parts, payload.empty() ? 1 : 2));
    if (worker_end_gone(sent))
        close_daemon_end_locked();
    if (sent <= 0)
        return Failure::ChannelClosed;
    return receive_reply_locked(answer);
}

// A request is sent only once the reply to the one given up has come: the
// channel carries no identifiers, so that reply would be taken for the next.
bool RequestChannel::drop_late_reply_locked()
{
    if (!given_up_)
        return true;
    if (recv(daemon_end_, nullptr, 0, MSG_DONTWAIT) < 0 && errno == EAGAIN)
        return false;
    given_up_ = false;
    return true;
}

Outcome<std::size_t> RequestChannel::receive_reply_locked(std::span<std::uint8_t> answer)
{
    // The worker answers within its own deadline unless it is held; the
    // daemon's thread (and with it pcscd's lock on the reader) is not.
    if (!readable_within(daemon_end_, reply_wait_)) {
        given_up_ = true;
        return Failure::NotAnswered;
    }
    // The reply's length first, without taking it: a reply that does not fit
    // is a failure, never a short success.
    const ssize_t length = recv(daemon_end_, nullptr, 0, MSG_PEEK | MSG_TRUNC);
    if (worker_end_gone(length))
        close_daemon_end_locked();
    if (length <= 0)
        return Failure::ChannelClosed;
    if (static_cast<std::size_t>(length) - reply_status_size > answer.size()) {
        recv(daemon_end_, nullptr, 0, 0);
        return Failure::DoesNotFit;
    }
    std::uint8_t status = reply_success;
    iovec parts[] = {part(&status, reply_status_size), part(answer.data(), answer.size())};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = 2;
    if (recvmsg(daemon_end_, &message, 0) != length)
        return Failure::ChannelClosed;
    if (status != reply_success)
        return failure_of(status);
    return static_cast<std::size_t>(length) - reply_status_size;
}

ssize_t RequestChannel::read_request(std::span<std::uint8_t> area) const
{
    return recv(worker_end_, area.data(), area.size(), MSG_TRUNC);
}

std::chrono::steady_clock::time_point RequestChannel::request_sent_at() const
{
    return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(sent_at_.load()));
}

void RequestChannel::answer(std::span<const std::uint8_t> data) const
{
    send_reply(reply_success, data);
}

void RequestChannel::fail(Failure failure) const
{
    send_reply(status_of(failure), {});
}

// Its result is not examined: a daemon's end that is gone has nobody to tell.
void RequestChannel::send_reply(std::uint8_t status, std::span<const std::uint8_t> data) const
{
    iovec parts[] = {part(&status, reply_status_size), part(data.data(), data.size())};
    send_parts(worker_end_, std::span(parts, data.empty() ? 1 : 2));
}
