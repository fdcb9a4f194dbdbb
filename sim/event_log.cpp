#include "sim/event_log.h"

#include <cstdio>

namespace pemra_sim {

std::string hex(const Bytes &data)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(data.size() * 2);
    for (const auto byte : data) {
        text.push_back(digits[byte >> 4]);
        text.push_back(digits[byte & 0x0F]);
    }
    return text;
}

EventLog::EventLog(std::size_t capacity, bool echo) : capacity_(capacity), echo_(echo) {}

void EventLog::add(std::string event, std::string source, std::string detail, Bytes data)
{
    ++counters_[event];
    if (echo_)
        std::printf("%s %s %s %s\n", event.c_str(), source.c_str(), detail.c_str(), hex(data).c_str());
    if (capacity_ == 0)
        return;
    if (events_.size() == capacity_)
        events_.pop_front();
    events_.push_back({std::move(event), std::move(source), std::move(detail), std::move(data)});
}

void EventLog::clear()
{
    events_.clear();
    counters_.clear();
}

} // namespace pemra_sim
