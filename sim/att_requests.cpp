#include "sim/att_requests.h"

#include <algorithm>

#include <glibmm/main.h>

namespace pemra_sim {

AttRequests::AttRequests(const Faults &faults, std::function<void()> timed_out)
    : faults_(faults), timed_out_(std::move(timed_out))
{
}

AttRequests::~AttRequests() { reset(); }

AttRequests::Id AttRequests::begin(int characteristic, Kind kind)
{
    const Id id = next_++;
    Request &request = requests_[id] = {characteristic, kind, {}};
    if (const int timeout = faults_.value(Fault::AttTimeoutMs); timeout > 0) {
        request.timer = Glib::signal_timeout().connect(
            [this] {
                timed_out_();
                return false;
            },
            static_cast<unsigned>(timeout));
    }
    return id;
}

void AttRequests::end(Id id)
{
    const auto found = requests_.find(id);
    if (found == requests_.end())
        return;
    found->second.timer.disconnect();
    requests_.erase(found);
}

bool AttRequests::writing(int characteristic) const
{
    return std::ranges::any_of(requests_, [characteristic](const auto &entry) {
        return entry.second.characteristic == characteristic && entry.second.kind == Kind::Write;
    });
}

void AttRequests::reset()
{
    for (auto &[id, request] : requests_)
        request.timer.disconnect();
    requests_.clear();
}

} // namespace pemra_sim
