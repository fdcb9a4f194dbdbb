// Calls waited for together: each call holds the PendingCalls until it is
// answered (or fails), and `done` runs once the last one lets go.
#pragma once

#include <functional>
#include <memory>

namespace pemra_sim {

using PendingCalls = std::shared_ptr<void>;

inline PendingCalls when_answered(std::function<void()> done)
{
    return PendingCalls(nullptr, [done = std::move(done)](void *) { done(); });
}

} // namespace pemra_sim
