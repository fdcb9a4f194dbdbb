#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// pemra_sim serving "org.bluez" on the bus that DBUS_SYSTEM_BUS_ADDRESS
// names (a PrivateBus), from construction until it is stopped by its PID.
// The constructor returns once the stand-in owns its name.
class SimProcess {
public:
    explicit SimProcess(const std::vector<std::string> &arguments = {});
    ~SimProcess();
    SimProcess(const SimProcess &) = delete;
    SimProcess &operator=(const SimProcess &) = delete;

    // Stops it with SIGTERM: its exit status, 0 for a clean stop.
    int stop();

private:
    pid_t pid_ = -1;
};
