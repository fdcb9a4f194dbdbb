// The time message tells the reader the minutes since Sunday 00:00, local time.

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "device/pemra_device.h"

namespace {

std::time_t local_time(int year, int month, int day, int hour, int minute)
{
    std::tm moment{};
    moment.tm_year = year - 1900;
    moment.tm_mon = month - 1;
    moment.tm_mday = day;
    moment.tm_hour = hour;
    moment.tm_min = minute;
    moment.tm_sec = 42; // seconds are dropped
    moment.tm_isdst = -1;
    return std::mktime(&moment);
}

class TimeMessage : public ::testing::TestWithParam<const char *> {
protected:
    void SetUp() override
    {
        setenv("TZ", GetParam(), 1);
        tzset();
    }
};

TEST_P(TimeMessage, CountsMinutesSinceSundayMidnightInLocalTime)
{
    // 2026-12-06 is a Sunday, 2026-12-09 a Wednesday, 2026-12-12 a Saturday.
    EXPECT_EQ(PemraDevice::get_time(local_time(2026, 12, 6, 0, 0)), (Bytes{0x0A, 0x00, 0x00}));
    EXPECT_EQ(PemraDevice::get_time(local_time(2026, 12, 9, 12, 30)), (Bytes{0x0A, 0xCE, 0x13}));
    EXPECT_EQ(PemraDevice::get_time(local_time(2026, 12, 12, 23, 59)), (Bytes{0x0A, 0x5F, 0x27}));
}

INSTANTIATE_TEST_SUITE_P(Zones, TimeMessage, testing::Values("UTC0", "EST5", "JST-9"));

} // namespace
