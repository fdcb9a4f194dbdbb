#include "worker/slot_table.h"

void SlotTable::record(std::size_t slot, std::int32_t status, std::int32_t max_apdu_size)
{
    max_apdu_sizes_[slot] = max_apdu_size;
    record_status(slot, status);
}

void SlotTable::record_status(std::size_t slot, std::int32_t status)
{
    if (statuses_[slot].exchange(status) != status)
        changed();
}

std::int32_t SlotTable::card_status(std::uint8_t slot) const
{
    return slot < slot_count ? statuses_[slot].load(std::memory_order_relaxed) : 0;
}

std::int32_t SlotTable::max_apdu_size(std::uint8_t slot) const
{
    return slot < slot_count ? max_apdu_sizes_[slot].load(std::memory_order_relaxed) : 0;
}

void SlotTable::changed()
{
    {
        std::lock_guard lock(change_mutex_);
        ++changes_;
    }
    change_.notify_all();
}

// Until a thread has waited, the one that asks is taken for the one that will
// wait: a wait that ended at once without a change would make pcscd power a
// card down that it had only just powered up.
void SlotTable::status_asked()
{
    std::lock_guard lock(change_mutex_);
    if (waiter_ == std::thread::id() || std::this_thread::get_id() == waiter_)
        changes_seen_ = changes_;
}

bool SlotTable::wait_for_change(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(change_mutex_);
    waiter_ = std::this_thread::get_id();
    const bool woken =
        change_.wait_for(lock, timeout, [this] { return stop_requested_ || changes_ != changes_seen_; });
    stop_requested_ = false;
    // Taken as seen: a waiter that waits again without asking first waits
    // for the next change.
    changes_seen_ = changes_;
    return woken;
}

void SlotTable::stop_wait()
{
    {
        std::lock_guard lock(change_mutex_);
        stop_requested_ = true;
    }
    change_.notify_all();
}

void SlotTable::start_event_waits()
{
    std::lock_guard lock(change_mutex_);
    stop_requested_ = false;
    waiter_ = std::thread::id();
    changes_seen_ = changes_;
}
