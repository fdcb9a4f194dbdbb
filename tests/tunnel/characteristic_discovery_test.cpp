// Which objects of BlueZ's tree become the tunnel's numbered
// characteristics, and what discovery prints.

#include <gtest/gtest.h>

#include "tunnel/characteristic_discovery.h"

namespace {

constexpr char service[] = "/org/bluez/hci0/dev_E1_A5_00_00_00_01/service0010";
constexpr char uuid_tail[] = "-f0aa-4f13-a557-6b3f0e916803";

InterfaceMap characteristic(const std::string &uuid, const std::string &of_service = service)
{
    return {{"org.bluez.GattCharacteristic1",
             {{"UUID", Glib::Variant<Glib::ustring>::create(uuid)},
              {"Service", Glib::Variant<Glib::DBusObjectPathString>::create(of_service)}}}};
}

struct Discovered {
    CharacteristicPaths paths;
    std::string printed;
};

Discovered discover(const ManagedObjects &objects)
{
    testing::internal::CaptureStdout();
    CharacteristicPaths paths = discover_characteristics(objects, service);
    return {paths, testing::internal::GetCapturedStdout()};
}

struct UuidCase {
    const char *name;
    std::string uuid;
    const char *printed; // the line for "/c", empty for none
    std::optional<int> slot;
};

class Uuid : public testing::TestWithParam<UuidCase> {};

TEST_P(Uuid, GivesItsNumberOrNone)
{
    const auto &[name, uuid, printed, slot] = GetParam();
    const Discovered found = discover({{"/c", characteristic(uuid)}});
    EXPECT_EQ(found.printed, printed);
    for (int number = 0; number < characteristic_slots; ++number)
        EXPECT_EQ(found.paths[static_cast<std::size_t>(number)].has_value(), slot == number) << number;
}

INSTANTIATE_TEST_SUITE_P(
    Discovery, Uuid,
    testing::Values(UuidCase{"Digit4", std::string("00000004") + uuid_tail, "char 4 /c\n", 4},
                    UuidCase{"Digit0", std::string("00000000") + uuid_tail, "char 0 /c\n", 0},
                    UuidCase{"LetterA", std::string("0000000a") + uuid_tail, "char 10 /c\n", std::nullopt},
                    UuidCase{"CapitalA", std::string("0000000A") + uuid_tail, "char -1 /c\n", std::nullopt},
                    UuidCase{"Sixteen", std::string("00000010") + uuid_tail, "", std::nullopt},
                    UuidCase{"OnlyThePrefix", "0000000", "", std::nullopt},
                    UuidCase{"EightCharacters", "00000009", "char 9 /c\n", 9}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(Discovery, CharacteristicsOfAnotherServiceAreIgnoredSilently)
{
    const Discovered found = discover({{"/c", characteristic(std::string("00000004") + uuid_tail, "/other")}});
    EXPECT_EQ(found.printed, "");
    EXPECT_FALSE(found.paths[4]);
}

TEST(Discovery, ObjectsWithoutACharacteristicInterfaceOrServiceAreIgnored)
{
    ManagedObjects objects{{"/a", {{"org.bluez.GattService1", {}}}},
                           {"/b", {{"org.bluez.GattCharacteristic1",
                                    {{"UUID", Glib::Variant<Glib::ustring>::create("00000001")}}}}}};
    EXPECT_EQ(discover(objects).printed, "");
}

TEST(Discovery, OfTwoWithTheSameNumberTheOneVisitedLastWins)
{
    const std::string uuid = std::string("00000002") + uuid_tail;
    const Discovered found = discover({{"/a", characteristic(uuid)}, {"/b", characteristic(uuid)}});
    EXPECT_EQ(found.printed, "char 2 /a\nchar 2 /b\n");
    EXPECT_EQ(found.paths[2], "/b");
}

} // namespace
