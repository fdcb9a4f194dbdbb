#pragma once

#include <chrono>
#include <deque>
#include <functional>

#include <sigc++/connection.h>

#include "common/failure.h"

// A tunnel carries one transfer at a time: the reply state exists once. After
// a reply that went wrong, the rest of it may still be on its way and would be
// taken for the start of the next reply, so the next transfer waits until the
// link has been quiet for a while. A reader that never goes quiet is not
// waited for without end: after a bounded time the waiting transfers fail,
// and so does every transfer that would start into the noise, until the link
// has been quiet again.
class TransferQueue {
public:
    using Start = std::function<void()>;
    using Refuse = std::function<void(Failure)>;

    // A reply's fragments come back to back, at most one connection
    // interval (up to some 50 ms on a slow link) apart: this long without
    // one means that none follow.
    static constexpr std::chrono::milliseconds settle_time{200};
    // The longest a transfer waits for the link to settle.
    static constexpr std::chrono::milliseconds settle_limit{1500};

    TransferQueue() = default;
    ~TransferQueue();
    TransferQueue(const TransferQueue &) = delete;
    TransferQueue &operator=(const TransferQueue &) = delete;

    // Starts the transfer when the link is free, or refuses it (from the
    // main loop) when the link would not settle.
    void submit(Start start, Refuse refuse);
    // The transfer under way is over; a reply that was not whole makes the
    // link settle before the next one.
    void transfer_ended(bool reply_was_whole);
    // A reply that came whole turned out bad all the same: the link settles
    // before the next transfer.
    void settle();
    // A notification on characteristic 4 that no transfer took.
    void stray_fragment();
    // Fails every transfer that waits to start.
    void refuse_waiting(Failure failure);

private:
    enum class Link { Free, Settling, Noisy };
    struct Waiting {
        Start start;
        Refuse refuse;
    };

    void restart_quiet_timer();
    void link_quiet();
    void give_up_settling();
    void start_next();

    Link link_ = Link::Free;
    bool transfer_under_way_ = false;
    std::deque<Waiting> waiting_;
    sigc::connection quiet_timer_;
    sigc::connection settle_limit_timer_;
};
