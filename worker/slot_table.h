#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "discovery/reader_discovery.h"

// What the daemon's threads read of the reader slots: per slot the last
// card status and maximum APDU size, which the worker writes and the
// daemon's threads read without a lock: each entry is one aligned 32-bit
// value, so a reader sees either the old or the new value. The daemon's
// event thread can wait for a change.
class SlotTable {
public:
    static constexpr std::size_t slot_count = ReaderDiscovery::slot_count;

    // The worker's side: a slot's status and maximum APDU size as the session
    // reports them (0 and the last maximum when it leaves). A change of the
    // status wakes the event waits.
    void record(std::size_t slot, std::int32_t status, std::int32_t max_apdu_size);
    void record_status(std::size_t slot, std::int32_t status);

    // The daemon's side; 0 for a slot that does not exist.
    std::int32_t card_status(std::uint8_t slot) const;
    std::int32_t max_apdu_size(std::uint8_t slot) const;

    // pcscd's event thread asks for the card status, then waits for it to
    // change: the wait ends at once when it changed since that thread last
    // asked. Other threads that ask change nothing for it.
    void status_asked();
    // True when the status changed (or the wait was stopped), false when the
    // timeout passed first.
    bool wait_for_change(std::chrono::milliseconds timeout);
    // Ends a wait under way, or the next one, at once.
    void stop_wait();
    // The reader is opened (again): no stop and no waiting thread of an
    // earlier opening is remembered, and what changed before is taken as
    // seen.
    void start_event_waits();

private:
    void changed();

    std::array<std::atomic<std::int32_t>, slot_count> statuses_{};
    std::array<std::atomic<std::int32_t>, slot_count> max_apdu_sizes_{};
    std::mutex change_mutex_;
    std::condition_variable change_;
    std::uint64_t changes_ = 0;
    // The thread that waits, and the changes it has seen. Not a thread-local
    // of the driver: LeakSanitizer's scan at pcscd's exit crashes on those of
    // a library loaded with dlopen.
    std::thread::id waiter_;
    std::uint64_t changes_seen_ = 0;
    bool stop_requested_ = false;
};
