#pragma once

#include <algorithm>
#include <chrono>
#include <functional>

#include "common/thread_loop.h"

// Tries something again after a pause that doubles, from `first` up to
// `limit`, on the main loop of the thread that schedules it; one retry
// waits at a time. The pause starts short again once the thing succeeded.
class Backoff {
public:
    Backoff(std::chrono::milliseconds first, std::chrono::milliseconds limit) : first_(first), limit_(limit) {}
    ~Backoff() { timer_.disconnect(); }
    Backoff(const Backoff &) = delete;
    Backoff &operator=(const Backoff &) = delete;

    // Runs `retry` once the next pause is over, unless a retry waits
    // already. The retry may schedule the next one.
    void schedule(std::function<void()> retry)
    {
        if (waiting_)
            return;
        pause_ = std::clamp(pause_ * 2, first_, limit_);
        waiting_ = true;
        timer_ = thread_loop::timeout(
            [this, retry = std::move(retry)] {
                // Cleared first: the retry may fail and schedule the next.
                waiting_ = false;
                retry();
                return false;
            },
            pause_);
    }
    // A retry waits for its pause to be over.
    bool waiting() const { return waiting_; }
    // No retry waits any more; the next pause is as long as it would be.
    // Safe from within the retry itself.
    void cancel()
    {
        timer_.disconnect();
        waiting_ = false;
    }
    // It worked: no retry waits, and the next pause is the first one.
    void succeeded()
    {
        cancel();
        pause_ = std::chrono::milliseconds(0);
    }

private:
    std::chrono::milliseconds first_;
    std::chrono::milliseconds limit_;
    std::chrono::milliseconds pause_{0};
    bool waiting_ = false;
    sigc::connection timer_;
};
