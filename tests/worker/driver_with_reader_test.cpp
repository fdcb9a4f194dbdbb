// The whole driver through its entry points, with pemra_sim as BlueZ and one
// reader on a private bus: discovery, set-up, card operations.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

extern "C" {
#include <ifdhandler.h>
}

#include "private_bus.h"
#include "sim_process.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

bool wait_for_card(std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (IFDHICCPresence(0) == IFD_ICC_PRESENT)
            return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

Bytes transmit(const Bytes &apdu, RESPONSECODE *rc)
{
    SCARD_IO_HEADER pci{1, 8};
    SCARD_IO_HEADER received{};
    Bytes response(4096);
    DWORD length = response.size();
    *rc = IFDHTransmitToICC(0, pci, const_cast<std::uint8_t *>(apdu.data()), apdu.size(), response.data(), &length,
                            &received);
    response.resize(*rc == IFD_SUCCESS ? length : 0);
    return response;
}

class DriverWithReader : public ::testing::Test {
protected:
    PrivateBus bus;
    SimProcess sim;
};

TEST_F(DriverWithReader, CardIsPresentAfterTheSetUpAndAnswersApdus)
{
    char name[] = "pemra:0";
    ASSERT_EQ(IFDHCreateChannelByName(0, name), IFD_SUCCESS);
    ASSERT_TRUE(wait_for_card(5s));

    UCHAR atr[MAX_ATR_SIZE];
    DWORD atr_length = sizeof atr;
    ASSERT_EQ(IFDHPowerICC(0, IFD_POWER_UP, atr, &atr_length), IFD_SUCCESS);
    EXPECT_GT(atr_length, 1u);

    RESPONSECODE rc;
    Bytes challenge = transmit({0x00, 0x84, 0x00, 0x00, 0x08}, &rc);
    ASSERT_EQ(rc, IFD_SUCCESS);
    ASSERT_EQ(challenge.size(), 10u);
    EXPECT_EQ(challenge[8], 0x90);
    EXPECT_EQ(challenge[9], 0x00);
}

} // namespace
