// Everything the driver did to the stand-in, in order, for tests to read:
// each entry is (event, source, detail, data), e.g. ("write",
// "/org/bluez/hci0/dev_..", "7", bytes written).
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>

#include "sim/variants.h"

namespace pemra_sim {

struct Event {
    std::string event;
    std::string source;
    std::string detail;
    Bytes data;
};

std::string hex(const Bytes &data);

class EventLog {
public:
    // Keeps the last `capacity` entries; the counters count every entry.
    EventLog(std::size_t capacity, bool echo);

    void add(std::string event, std::string source, std::string detail = {}, Bytes data = {});
    const std::deque<Event> &events() const { return events_; }
    const std::map<std::string, std::uint64_t> &counters() const { return counters_; }
    void clear();

private:
    std::size_t capacity_;
    bool echo_;
    std::deque<Event> events_;
    std::map<std::string, std::uint64_t> counters_;
};

} // namespace pemra_sim
