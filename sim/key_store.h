// The long-term keys a reader remembers, one per host (the address of the
// adapter the host connects through), kept in memory and, when a folder is
// given, in files <folder>/<reader address>/<host address> of 32 bytes so
// that they outlive the stand-in.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "sim/reader_link.h"

namespace pemra_sim {

class KeyStore {
public:
    explicit KeyStore(std::optional<std::filesystem::path> folder);

    std::optional<LongTermKey> find(const std::string &reader, const std::string &host);
    void store(const std::string &reader, const std::string &host, const LongTermKey &key);
    void forget(const std::string &reader);

private:
    std::filesystem::path file(const std::string &reader, const std::string &host) const;

    std::optional<std::filesystem::path> folder_;
    std::map<std::pair<std::string, std::string>, LongTermKey> keys_;
};

} // namespace pemra_sim
