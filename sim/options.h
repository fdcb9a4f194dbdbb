// The command line of pemra_sim.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "sim/reader_options.h"

namespace pemra_sim {

struct Options {
    std::optional<std::string> bus;
    unsigned adapters = 1;
    unsigned readers = 1;
    ReaderOptions reader; // address and name are chosen per reader
    std::optional<std::filesystem::path> key_store;
    unsigned vicc_port = 0;
    std::size_t log_capacity = 100000;
    bool verbose = false;
    // The reader itself beside a real bluetoothd (sim/peripheral.h).
    bool peripheral = false;
    bool help = false;
};

// Throws std::invalid_argument with a message for the user.
Options parse_options(const std::vector<std::string> &arguments);
std::string help_text();

} // namespace pemra_sim
