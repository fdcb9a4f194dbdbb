#include "device/ltk_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <filesystem>

namespace {

constexpr mode_t key_directory_mode = 0700;

// Makes the directory and its missing parents with mode 0700.
void make_key_directory(const std::filesystem::path &directory)
{
    std::filesystem::path partial;
    for (const auto &part : directory) {
        partial /= part;
        if (mkdir(partial.c_str(), key_directory_mode) != 0 && errno != EEXIST)
            return;
    }
}

bool write_all(int fd, const LongTermKey &key)
{
    std::size_t written = 0;
    while (written < key.size()) {
        ssize_t n = write(fd, key.data() + written, key.size() - written);
        if (n <= 0)
            return false;
        written += n;
    }
    return true;
}

// mkostemp makes the file with mode 0600 and never follows a link.
int open_temporary(std::string &temporary)
{
    return mkostemp(temporary.data(), O_CLOEXEC);
}

} // namespace

bool is_bluetooth_address(std::string_view address)
{
    constexpr std::size_t length = 17; // six pairs of digits and five colons
    if (address.size() != length)
        return false;
    for (std::size_t i = 0; i < length; ++i) {
        bool colon_place = i % 3 == 2;
        unsigned char c = address[i];
        if (colon_place ? c != ':' : !std::isxdigit(c))
            return false;
    }
    return true;
}

std::optional<std::string> ltk_path(std::string_view address)
{
    if (!is_bluetooth_address(address))
        return std::nullopt;
    return std::string(PEMRA_KEY_DIR) + std::string(address);
}

std::optional<LongTermKey> read_ltk(const std::string &path)
{
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    LongTermKey key;
    std::size_t got = 0;
    ssize_t n;
    while (got < key.size() && (n = read(fd, key.data() + got, key.size() - got)) > 0)
        got += n;
    close(fd);
    if (got != key.size())
        return std::nullopt;
    return key;
}

void save_ltk(const std::string &path, const LongTermKey &key)
{
    std::filesystem::path directory = std::filesystem::path(path).parent_path();
    std::string temporary = path + ".XXXXXX";
    int fd = open_temporary(temporary);
    if (fd < 0) {
        make_key_directory(directory);
        temporary = path + ".XXXXXX";
        fd = open_temporary(temporary);
        if (fd < 0)
            return;
    }
    bool stored = write_all(fd, key) && fsync(fd) == 0;
    close(fd);
    // rename() replaces a symlink at the path itself, never its target.
    if (!stored || rename(temporary.c_str(), path.c_str()) != 0) {
        unlink(temporary.c_str());
        return;
    }
    int directory_fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory_fd >= 0) {
        fsync(directory_fd);
        close(directory_fd);
    }
}
