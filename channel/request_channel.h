#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <span>

#include "channel/request_protocol.h"
#include "common/failure.h"

// The request channel's two ends: a Unix-domain socket pair of sequenced
// packets, so that every request and every reply is one whole message. The
// daemon's threads send a request and wait for its reply on the daemon's
// end; the worker reads requests from its end and answers each once.
class RequestChannel {
public:
    RequestChannel() = default;
    ~RequestChannel();
    RequestChannel(const RequestChannel &) = delete;
    RequestChannel &operator=(const RequestChannel &) = delete;

    // A new pair for a new worker. An earlier daemon's end is closed: the
    // worker that served it is gone.
    void make();
    // Closes both ends: no worker serves them. Requests fail at once.
    void close_both();
    // The worker's side ends: a request that waits for its reply fails at
    // once, and the lock it holds meanwhile is free for close_both.
    void shut_down_worker_end() const;

    // The daemon's side: one request and its reply, at most one at a time
    // (pcscd may call from its polling thread and a client thread at once).
    // The reply's data go into `answer`; the result is their length, or the
    // failure the worker answered, or that of the channel itself
    // (ChannelClosed, NotAnswered, DoesNotFit, and Refused, unsent, for a
    // payload over max_request_payload). A reply that does not fit is
    // consumed and fails whole. A reply that has not come within the reply
    // wait fails the request, and every later one at once until that late
    // reply has come and is dropped.
    Outcome<std::size_t> exchange(std::uint8_t slot, RequestOpcode opcode, std::span<const std::uint8_t> payload,
                                  std::span<std::uint8_t> answer);
    // How long the daemon's side waits for a reply (reply_wait_limit);
    // tests shorten it.
    void set_reply_wait(std::chrono::milliseconds wait) { reply_wait_ = wait; }
    // The fuzzer writes requests of its own, raw, to the daemon's end.
    int daemon_end_for_fuzzing() const { return daemon_end_; }

    // The worker's side. Its end, to watch; -1 while there is none.
    int worker_end() const { return worker_end_; }
    // A request longer than `area` is reported with its full length, so that
    // it is never taken cut short.
    ssize_t read_request(std::span<std::uint8_t> area) const;
    // When the request just read was sent: its time runs from then, however
    // long the worker took to read it.
    std::chrono::steady_clock::time_point request_sent_at() const;
    // The reply to the request just read: [00][data], or the failure alone.
    void answer(std::span<const std::uint8_t> data = {}) const;
    void fail(Failure failure) const;

private:
    void close_daemon_end_locked();
    bool drop_late_reply_locked();
    Outcome<std::size_t> receive_reply_locked(std::span<std::uint8_t> answer);
    void send_reply(std::uint8_t status, std::span<const std::uint8_t> data) const;

    std::mutex mutex_;
    // The ends; -1 until the first pair and after they are closed.
    int daemon_end_ = -1;
    int worker_end_ = -1;
    std::chrono::milliseconds reply_wait_ = reply_wait_limit;
    // Set when the daemon's side gave up waiting for a reply; cleared once
    // that reply has come.
    bool given_up_ = false;
    // When the request in flight was sent (steady clock ticks): only one is
    // ever in flight, so it names that request to the worker.
    std::atomic<std::chrono::steady_clock::rep> sent_at_{0};
};
