// Every case of the program runs as a process of its own (ctest starts one
// per case) with its own private bus and stand-in, which start here and are
// stopped by their PIDs at the end.

#include <gtest/gtest.h>

#include <giomm/init.h>

#include <memory>

#include "private_bus.h"
#include "sim_process.h"

namespace {

class SimEnvironment : public testing::Environment {
public:
    void SetUp() override
    {
        Gio::init();
        bus_ = std::make_unique<PrivateBus>();
        sim_ = std::make_unique<SimProcess>(std::vector<std::string>{"--readers", "0"});
    }

    void TearDown() override
    {
        EXPECT_EQ(sim_->stop(), 0);
        sim_.reset();
        bus_.reset();
    }

private:
    std::unique_ptr<PrivateBus> bus_;
    std::unique_ptr<SimProcess> sim_;
};

testing::Environment *const environment = testing::AddGlobalTestEnvironment(new SimEnvironment);

} // namespace
