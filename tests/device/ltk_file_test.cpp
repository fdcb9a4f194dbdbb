// The long-term key files: which addresses name a file, and how a key is
// read and replaced.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "device/ltk_file.h"

namespace fs = std::filesystem;

namespace {

LongTermKey key_of(std::uint8_t first)
{
    LongTermKey key;
    for (std::size_t i = 0; i < key.size(); ++i)
        key[i] = static_cast<std::uint8_t>(first + i);
    return key;
}

class KeyFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/pemra-keys-XXXXXX";
        directory = mkdtemp(pattern);
    }
    void TearDown() override { fs::remove_all(directory); }

    std::string path(const std::string &name) const { return directory + "/" + name; }
    void write_file(const std::string &name, std::size_t size) const
    {
        std::ofstream file(path(name), std::ios::binary);
        for (std::size_t i = 0; i < size; ++i)
            file.put(static_cast<char>(i));
    }
    static mode_t mode_of(const std::string &path)
    {
        struct stat status;
        EXPECT_EQ(lstat(path.c_str(), &status), 0);
        return status.st_mode & 07777;
    }

    std::string directory;
};

TEST(KeyFileNames, OnlyBluetoothAddressesNameAFile)
{
    EXPECT_TRUE(is_bluetooth_address("C0:FF:EE:00:11:22"));
    EXPECT_TRUE(is_bluetooth_address("c0:ff:ee:0a:bb:9f"));
    for (const char *bad : {"", "../../x", "C0:FF:EE:00:11", "C0:FF:EE:00:11:22:33", "C0-FF-EE-00-11-22",
                            "G0:FF:EE:00:11:22", "C0:FF:EE:00:11:2/", "/etc/passwd", "C0:FF:EE:00:11:22\n"})
        EXPECT_FALSE(is_bluetooth_address(bad)) << bad;
    EXPECT_FALSE(ltk_path("../../x"));
    EXPECT_EQ(ltk_path("C0:FF:EE:00:11:22"), std::string(PEMRA_KEY_DIR) + "C0:FF:EE:00:11:22");
}

TEST_F(KeyFile, ExactlyThirtyTwoBytesAreTheKey)
{
    write_file("a", 32);
    ASSERT_TRUE(read_ltk(path("a")));
    EXPECT_EQ((*read_ltk(path("a")))[31], 31);
}

TEST_F(KeyFile, AShortFileHoldsNoKeyAndOfALongerOneTheFirst32BytesCount)
{
    write_file("short", 31);
    EXPECT_FALSE(read_ltk(path("short")));
    write_file("long", 40);
    ASSERT_TRUE(read_ltk(path("long")));
    EXPECT_EQ(*read_ltk(path("long")), key_of(0));
    EXPECT_FALSE(read_ltk(path("missing")));
}

TEST_F(KeyFile, SavedKeyIsThirtyTwoBytesOnlyTheOwnerMayRead)
{
    save_ltk(path("C0:FF:EE:00:11:22"), key_of(7));
    EXPECT_EQ(fs::file_size(path("C0:FF:EE:00:11:22")), 32u);
    EXPECT_EQ(mode_of(path("C0:FF:EE:00:11:22")), 0600u);
    EXPECT_EQ(read_ltk(path("C0:FF:EE:00:11:22")), key_of(7));
    EXPECT_EQ(std::distance(fs::directory_iterator(directory), fs::directory_iterator()), 1)
        << "no temporary file left behind";
}

TEST_F(KeyFile, SavingReplacesAnEarlierKey)
{
    write_file("k", 32);
    save_ltk(path("k"), key_of(100));
    EXPECT_EQ(read_ltk(path("k")), key_of(100));
}

TEST_F(KeyFile, MissingDirectoriesAreMadeForTheOwnerOnly)
{
    std::string nested = directory + "/var/lib/pemra-ble/C0:FF:EE:00:11:22";
    save_ltk(nested, key_of(1));
    EXPECT_EQ(read_ltk(nested), key_of(1));
    EXPECT_EQ(mode_of(directory + "/var/lib/pemra-ble"), 0700u);
    EXPECT_EQ(mode_of(directory + "/var"), 0700u);
}

TEST_F(KeyFile, ALinkAtTheKeyPathIsReplacedNeverFollowed)
{
    write_file("victim", 5);
    ASSERT_EQ(symlink(path("victim").c_str(), path("k").c_str()), 0);
    EXPECT_FALSE(read_ltk(path("k")));
    save_ltk(path("k"), key_of(3));
    EXPECT_EQ(fs::file_size(path("victim")), 5u);
    EXPECT_FALSE(fs::is_symlink(path("k")));
    EXPECT_EQ(read_ltk(path("k")), key_of(3));
}

TEST_F(KeyFile, AnUnwritableDirectoryKeepsTheKeyForTheSessionOnly)
{
    save_ltk("/proc/pemra-no-such-place/k", key_of(1));
    EXPECT_FALSE(read_ltk("/proc/pemra-no-such-place/k"));
}

} // namespace
