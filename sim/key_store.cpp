#include "sim/key_store.h"

#include <algorithm>
#include <fstream>

namespace pemra_sim {

namespace {

// Addresses come from the scenario and may be anything ("../../x"): only
// letters, digits and colons reach the file system.
std::string file_name(const std::string &text)
{
    std::string name = text;
    std::ranges::replace_if(name, [](char c) { return !std::isalnum(static_cast<unsigned char>(c)) && c != ':'; },
                            '_');
    return name.empty() ? "_" : name;
}

} // namespace

KeyStore::KeyStore(std::optional<std::filesystem::path> folder) : folder_(std::move(folder)) {}

std::filesystem::path KeyStore::file(const std::string &reader, const std::string &host) const
{
    return *folder_ / file_name(reader) / file_name(host);
}

std::optional<LongTermKey> KeyStore::find(const std::string &reader, const std::string &host)
{
    const auto known = keys_.find({reader, host});
    if (known != keys_.end())
        return known->second;
    if (!folder_)
        return std::nullopt;
    std::ifstream in(file(reader, host), std::ios::binary);
    LongTermKey key{};
    if (!in.read(reinterpret_cast<char *>(key.data()), key.size()))
        return std::nullopt;
    keys_[{reader, host}] = key;
    return key;
}

void KeyStore::store(const std::string &reader, const std::string &host, const LongTermKey &key)
{
    keys_[{reader, host}] = key;
    if (!folder_)
        return;
    std::error_code ignored;
    std::filesystem::create_directories(file(reader, host).parent_path(), ignored);
    std::ofstream out(file(reader, host), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(key.data()), key.size());
}

void KeyStore::forget(const std::string &reader)
{
    std::erase_if(keys_, [&](const auto &entry) { return entry.first.first == reader; });
    if (!folder_)
        return;
    std::error_code ignored;
    std::filesystem::remove_all(*folder_ / file_name(reader), ignored);
}

} // namespace pemra_sim
