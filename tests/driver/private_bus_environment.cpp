// Every test of this program runs with a private system bus, so that the
// worker's bus set-up succeeds without touching the machine's own bus.

#include <gtest/gtest.h>

#include <memory>

#include "private_bus.h"

namespace {

class PrivateBusEnvironment : public testing::Environment {
public:
    void SetUp() override { bus_ = std::make_unique<PrivateBus>(); }
    void TearDown() override { bus_.reset(); }

private:
    std::unique_ptr<PrivateBus> bus_;
};

testing::Environment *const private_bus = testing::AddGlobalTestEnvironment(new PrivateBusEnvironment);

} // namespace
