// The descriptor printer over byte tables. Each descriptor is written in hex
// (spaces only for reading) and handed over in a buffer of exactly its size,
// so that a read past the bytes returned shows under AddressSanitizer.

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "tests/crypto/hex.h"
#include "tools/descriptor_printer.h"

namespace {

using namespace std::string_literals;

std::string printed(std::string_view hex)
{
    std::string digits(hex);
    std::erase(digits, ' ');
    const std::vector<uint8_t> descriptor = from_hex(digits);
    std::ostringstream out;
    print_descriptor(descriptor, out);
    return out.str();
}

std::string repeated(std::string_view text, int times)
{
    std::string out;
    for (int i = 0; i < times; ++i)
        out += text;
    return out;
}

struct Case {
    std::string_view hex;
    std::string expected;
};

void expect_printed(const std::vector<Case> &cases)
{
    for (const Case &c : cases) {
        SCOPED_TRACE(c.hex);
        EXPECT_EQ(printed(c.hex), c.expected);
    }
}

// Layout: [N] then entries [E][L][name][V][value][skipped].

TEST(DescriptorEntries, TheTwoEntryExamplePrintsAMacAndASerialLine)
{
    EXPECT_EQ(printed("1a 0b 03 4d4143 06 001122334455 0d 06 53657269616c 05 0102030405"),
              "MAC:00:11:22:33:44:55\nSerial:0102030405\n");
}

TEST(DescriptorEntries, OtherValuesArePrintedByteForByteAfterTheNameAndAColon)
{
    expect_printed({
        {"0c 0b 04 4e616d65 05 50656d7261", "Name:Pemra\n"},
        {"0a 09 02 4100 05 41000a4209", "A\0:A\0\nB\t\n"s},
        {"04 03 01 41 00", "A:\n"},
    });
}

TEST(DescriptorEntries, BytesBetweenTheValueAndTheEntryEndAreSkipped)
{
    EXPECT_EQ(printed("0d 07 01 41 01 42 ffeedd 04 01 43 01 44"), "A:B\nC:D\n");
}

TEST(DescriptorEntries, OnlyTheNBytesAfterTheCountHoldEntries)
{
    expect_printed({
        {"", ""},
        {"00", ""},
        {"00 04 01 41 01 42", ""},
        {"05 04 01 41 01 42 04 01 43 01 44", "A:B\n"},
    });
}

TEST(DescriptorEntries, AFullAreaOf255BytesIsPrintedToItsLastEntry)
{
    // 51 entries of 5 bytes: the area ends at offset 256, past any byte count.
    EXPECT_EQ(printed("ff" + repeated("0401410142", 51)), repeated("A:B\n", 51));
}

// "MAC": compared with M, A, C, zero over min(L, 4) bytes.

TEST(MacEntries, ASixByteValuePrintsAsLowerCaseHexWithColons)
{
    EXPECT_EQ(printed("0c 0b 03 4d4143 06 a0b1c2d3e4ff"), "MAC:a0:b1:c2:d3:e4:ff\n");
}

TEST(MacEntries, AValueOfAnyOtherLengthIsNotPrinted)
{
    expect_printed({
        {"0a 09 03 4d4143 04 01020304", "MAC:\n"},
        {"0d 0c 03 4d4143 07 01020304050607", "MAC:\n"},
        {"06 05 03 4d4143 00", "MAC:\n"},
    });
}

TEST(MacEntries, TheFirstLettersOfMacAndTheEmptyNameCountAsMac)
{
    expect_printed({
        {"0a 09 01 4d 06 001122334455", "M:00:11:22:33:44:55\n"},
        {"0b 0a 02 4d41 06 001122334455", "MA:00:11:22:33:44:55\n"},
        {"09 08 00 06 001122334455", ":00:11:22:33:44:55\n"},
        {"06 05 01 4d 02 3132", "M:\n"},
    });
}

TEST(MacEntries, MacFollowedByItsZeroCountsAsMacWhateverComesAfter)
{
    expect_printed({
        {"0d 0c 04 4d414300 06 001122334455", "MAC\0:00:11:22:33:44:55\n"s},
        {"0e 0d 05 4d41430058 06 001122334455", "MAC\0X:00:11:22:33:44:55\n"s},
    });
}

TEST(MacEntries, OtherNamesAreNotMac)
{
    expect_printed({
        {"0d 0c 04 4d414358 06 303132333435", "MACX:012345\n"},
        {"0c 0b 03 4d6163 06 303132333435", "Mac:012345\n"},
        {"0b 0a 02 4d42 06 303132333435", "MB:012345\n"},
    });
}

// "Serial": at least 6 bytes of name beginning with it, and a 5-byte value.

TEST(SerialEntries, AFiveByteValuePrintsAsTenLowerCaseHexDigits)
{
    EXPECT_EQ(printed("0e 0d 06 53657269616c 05 abcdef009f"), "Serial:abcdef009f\n");
}

TEST(SerialEntries, ALongerNameBeginningWithSerialCountsAsSerial)
{
    EXPECT_EQ(printed("10 0f 08 53657269616c4e6f 05 0102030405"), "SerialNo:0102030405\n");
}

TEST(SerialEntries, AValueOfAnyOtherLengthIsPrintedAsItIs)
{
    expect_printed({
        {"0f 0e 06 53657269616c 06 414243444546", "Serial:ABCDEF\n"},
        {"0d 0c 06 53657269616c 04 41424344", "Serial:ABCD\n"},
    });
}

TEST(SerialEntries, NamesThatOnlyResembleSerialAreNotSerial)
{
    expect_printed({
        {"0d 0c 05 5365726961 05 3132333435", "Seria:12345\n"},
        {"0e 0d 06 73657269616c 05 3132333435", "serial:12345\n"},
    });
}

// Stop rules: printing ends at the first entry that does not fit.

TEST(StopRules, AValueRunningPastItsEntryLeavesTheNameAloneWithoutLineEnd)
{
    expect_printed({
        {"10 04 01 41 01 42 05 01 43 09 4445 04 01 45 01 46", "A:B\nC"},
        {"0a 04 01 41 01 42 04 01 43 02 44", "A:B\nC"},
    });
}

TEST(StopRules, AnEntryRunningPastTheAreaPrintsNothingAndEarlierLinesStay)
{
    expect_printed({
        {"09 04 01 41 01 42 07 01 43 01 44", "A:B\n"},
        {"0a 04 01 41 01 42 05 01 43 01 44", "A:B\n"},
        {"03 ff 01 41", ""},
    });
}

TEST(StopRules, ANameRunningPastItsEntryPrintsNothingOfIt)
{
    expect_printed({
        {"0d 04 01 41 01 42 02 05 43 04 01 43 01 44", "A:B\n"},
        {"09 04 01 41 01 42 03 03 43 44", "A:B\n"},
    });
}

TEST(StopRules, AnEntryWithNoRoomForItsNameLengthPrintsNothingOfIt)
{
    expect_printed({
        {"06 04 01 41 01 42 00", "A:B\n"},
        {"0b 04 01 41 01 42 00 04 01 43 01 44", "A:B\n"},
    });
}

TEST(StopRules, ANameFillingItsEntryLeavesNoValueLengthAndStopsAfterTheName)
{
    expect_printed({
        {"08 04 01 41 01 42 02 01 43", "A:B\nC"},
        {"0d 04 01 41 01 42 02 01 43 04 01 44 01 45", "A:B\nC"},
    });
}

// Attribute reads that return fewer than N + 1 bytes.

TEST(ShortAttribute, OnlyTheEntriesThatWereReturnedArePrinted)
{
    expect_printed({
        {"1a 0b 03 4d4143 06 001122334455", "MAC:00:11:22:33:44:55\n"},
        {"1a 0b 03 4d4143 06 001122334455 0d 06 536572", "MAC:00:11:22:33:44:55\n"},
        {"1a 0b 03 4d4143 06 0011", ""},
        {"1a", ""},
    });
}

} // namespace
