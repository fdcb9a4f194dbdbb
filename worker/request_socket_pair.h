#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <span>

#include "common/failure.h"
#include "worker/request_protocol.h"

// Where the daemon's end puts a reply: a status byte first and the data into
// `data`, or the whole reply into `data`.
struct ReplyLayout {
    bool status_first;
    std::span<std::uint8_t> data;
};

// What a reply held: its status byte (with status_first) and the number of
// bytes placed into the layout's data.
struct ReplyReceived {
    std::uint8_t status = 0;
    std::size_t length = 0;
};

// The request channel's two ends: a Unix-domain socket pair of sequenced
// packets, so that every request and every reply is one whole message. The
// daemon's threads send a request and wait for its reply on pcscsidesock; the
// worker reads requests from btsidesocket and answers each once.
class RequestSocketPair {
public:
    // A new pair for a new worker. An earlier PC/SC end is closed: the
    // worker that served it is gone.
    void make();
    // Closes both ends: no worker serves them. Requests fail at once.
    void close_both();
    // The worker's side ends: a request that waits for its reply fails at
    // once, and the lock it holds meanwhile is free for close_both.
    void shut_down_worker_end() const;

    // The daemon's side: one request and its reply, at most one at a time
    // (pcscd may call from its polling thread and a client thread at once).
    // A reply that does not fit the layout is consumed and fails whole. A
    // reply that has not come within reply_wait_limit fails the request, and
    // every later one at once until that late reply has come and is dropped.
    Outcome<ReplyReceived> exchange(std::uint8_t slot, std::uint8_t opcode, std::span<const std::uint8_t> payload,
                                    ReplyLayout layout);

    // The worker's side. A request longer than `area` is reported with its
    // full length, so that it is never taken cut short.
    ssize_t read_request(std::span<std::uint8_t> area) const;
    ssize_t send_reply(std::span<const std::uint8_t> head, std::span<const std::uint8_t> data) const;
    // When the request just read was sent: its time runs from then, however
    // long the worker took to read it.
    std::chrono::steady_clock::time_point request_sent_at() const;

    // How long the daemon's side waits for a reply; tests shorten it.
    std::chrono::milliseconds reply_wait = reply_wait_limit;

    // The ends; -1 until the first pair and after they are closed.
    int pcscsidesock = -1;
    int btsidesocket = -1;

private:
    void close_pcsc_end_locked();
    bool drop_late_reply_locked();
    Outcome<ReplyReceived> receive_reply_locked(ReplyLayout layout);

    std::mutex mutex_;
    // Set when the daemon's side gave up waiting for a reply; cleared once
    // that reply has come.
    bool given_up_ = false;
    // When the request in flight was sent (steady clock ticks): only one is
    // ever in flight, so it names that request to the worker.
    std::atomic<std::chrono::steady_clock::rep> sent_at_{0};
};
