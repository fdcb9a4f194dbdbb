#pragma once

#include <string>
#include <vector>

#include "bluez/object_manager_proxy.h"

// A Pemra GATT service in BlueZ's objects whose device is ready for a session.
struct ReaderCandidate {
    std::string service_path;
    std::string device_path;
};

// Connected, services resolved and paired, as BlueZ reports the device.
bool check_bt_device_ready(const InterfaceMap &device);

// Every Pemra service of a ready device, in path order. Prints each Pemra
// service's path, its device and, for a ready one, "adding path"; an unready
// device says which condition it misses.
std::vector<ReaderCandidate> find_reader_candidates(const ManagedObjects &objects);

// The devices of Pemra services that BlueZ holds connected without their
// services resolved, in path order.
std::vector<std::string> devices_without_services(const ManagedObjects &objects);
