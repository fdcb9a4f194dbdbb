#include "sim/radio.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <utility>

namespace pemra_sim {

namespace {

constexpr std::int64_t micros_per_second = 1'000'000;

} // namespace

Radio::Radio(const Faults &faults)
    : faults_(faults), timer_fd_(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC))
{
    if (timer_fd_ < 0)
        throw std::runtime_error("no timer for the radio link");
    watch_ = Glib::signal_io().connect(sigc::mem_fun(*this, &Radio::on_timer), timer_fd_, Glib::IOCondition::IO_IN);
}

Radio::~Radio()
{
    watch_.disconnect();
    close(timer_fd_);
}

void Radio::send(std::function<void()> pdu, std::function<void()> lost)
{
    const std::int64_t interval = faults_.value(Fault::ConnectionIntervalUs);
    if (interval <= 0 && queue_.empty()) {
        pdu();
        return;
    }
    // g_get_monotonic_time() reads CLOCK_MONOTONIC, the timer's clock.
    last_due_us_ = std::max(last_due_us_, g_get_monotonic_time()) + std::max<std::int64_t>(interval, 0);
    queue_.push_back({last_due_us_, std::move(pdu), std::move(lost)});
    if (queue_.size() == 1)
        arm();
}

void Radio::arm()
{
    itimerspec when{};
    if (!queue_.empty()) {
        // An absolute time of zero would disarm the timer.
        const std::int64_t due = std::max<std::int64_t>(queue_.front().due_us, 1);
        when.it_value.tv_sec = due / micros_per_second;
        when.it_value.tv_nsec = due % micros_per_second * 1000;
    }
    timerfd_settime(timer_fd_, TFD_TIMER_ABSTIME, &when, nullptr);
}

bool Radio::on_timer(Glib::IOCondition)
{
    std::uint64_t expirations = 0;
    if (read(timer_fd_, &expirations, sizeof expirations) < 0 && errno != EAGAIN)
        return true;
    while (!queue_.empty() && queue_.front().due_us <= g_get_monotonic_time()) {
        // Taken off first: sending may drop the link and empty the queue.
        const auto pdu = std::move(queue_.front().pdu);
        queue_.pop_front();
        pdu();
    }
    arm();
    return true;
}

void Radio::reset()
{
    auto lost = std::exchange(queue_, {});
    arm();
    for (auto &pending : lost) {
        if (pending.lost)
            pending.lost();
    }
}

} // namespace pemra_sim
