#pragma once

#include <sys/types.h>

#include <string>

// A dbus-daemon of the test's own, in a temporary folder, that stands in for
// the system bus: DBUS_SYSTEM_BUS_ADDRESS points at it while it runs. Tests
// never reach the machine's system bus.
class PrivateBus {
public:
    PrivateBus();
    ~PrivateBus();
    PrivateBus(const PrivateBus &) = delete;
    PrivateBus &operator=(const PrivateBus &) = delete;

    const std::string &address() const { return address_; }

private:
    std::string directory_;
    std::string address_;
    pid_t daemon_ = -1;
};
