// The IFD handler entry points through the real worker and socket pair, with
// the slot empty or holding a scripted reader session.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

extern "C" {
#include <ifdhandler.h>
#include <reader.h>
}

#include <chrono>
#include <future>

#include "scripted_session.h"
#include "worker/worker.h"

namespace {

constexpr DWORD VENDOR_ATTR_IEEE = 0x7B020;
constexpr DWORD VENDOR_ATTR_DESCRIPTOR = 0x7B021;
constexpr DWORD IOCTL_TLV_PROPERTIES = 0x11223344;
constexpr DWORD IOCTL_VENDOR_RPC = 0xBB01;
constexpr DWORD reader_lun = 0x00010000; // pcscd's reader number in the upper bytes

using namespace std::chrono_literals;

Worker &worker() { return Worker::instance(); }

class EntryPoints : public ::testing::Test {
protected:
    void SetUp() override
    {
        char name[] = "pemra:0";
        ASSERT_EQ(IFDHCreateChannelByName(reader_lun, name), IFD_SUCCESS);
        ASSERT_TRUE(worker().running());
    }
    void TearDown() override
    {
        worker().put_in_slot(nullptr);
        worker().slots().record(0, 0, 0);
    }

    static ReaderScript ready_script()
    {
        ReaderScript script;
        script.address = "C0:FF:EE:00:11:22";
        script.descriptor = {0x05, 0x04, 0x01, 'M', 0x01, 0x42};
        script.atr = {0x3B, 0x02, 0x14, 0x50};
        script.apdu_response = {0x90, 0x00};
        script.rpc_answer = {0x00, 0x33, 0x22};
        return script;
    }

    static std::shared_ptr<ScriptedSession> session_in_slot(ReaderScript script = ready_script())
    {
        auto session = std::make_shared<ScriptedSession>(std::move(script));
        worker().put_in_slot(session);
        return session;
    }

    static Bytes control(DWORD code, const Bytes &tx, DWORD rx_length, RESPONSECODE *rc)
    {
        Bytes rx(rx_length);
        DWORD returned = 0xDEAD;
        *rc = IFDHControl(reader_lun, code, const_cast<std::uint8_t *>(tx.data()), tx.size(), rx.data(),
                          rx_length, &returned);
        rx.resize(returned == 0xDEAD ? 0 : returned);
        return rx;
    }

    static RESPONSECODE get_attribute(DWORD lun, DWORD tag, DWORD *length, Bytes *value)
    {
        value->assign(*length, 0);
        RESPONSECODE rc = IFDHGetCapabilities(lun, tag, length, value->data());
        if (rc == IFD_SUCCESS)
            value->resize(*length);
        return rc;
    }
};

TEST_F(EntryPoints, EmptySlotAnswersEveryCardRequestWithFailure)
{
    UCHAR atr[MAX_ATR_SIZE];
    DWORD atr_length = sizeof atr;
    EXPECT_EQ(IFDHPowerICC(reader_lun, IFD_POWER_UP, atr, &atr_length), IFD_ERROR_POWER_ACTION);
    EXPECT_EQ(atr_length, 0u);

    SCARD_IO_HEADER send_pci{1, 8};
    SCARD_IO_HEADER recv_pci{};
    UCHAR apdu[] = {0x00, 0x84, 0x00, 0x00, 0x08};
    UCHAR response[258];
    DWORD response_length = sizeof response;
    EXPECT_EQ(IFDHTransmitToICC(reader_lun, send_pci, apdu, sizeof apdu, response, &response_length, &recv_pci),
              IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(response_length, sizeof response);
    EXPECT_EQ(recv_pci.Protocol, 1u);
    EXPECT_EQ(recv_pci.Length, 8u);

    EXPECT_EQ(IFDHICCPresence(reader_lun), IFD_ICC_NOT_PRESENT);
    EXPECT_EQ(IFDHPowerICC(reader_lun, IFD_POWER_DOWN, atr, &atr_length), IFD_SUCCESS);

    DWORD length = 264;
    Bytes value;
    EXPECT_EQ(get_attribute(reader_lun, SCARD_ATTR_MAXINPUT, &length, &value), IFD_ERROR_TAG);
    EXPECT_EQ(get_attribute(reader_lun, VENDOR_ATTR_IEEE, &length, &value), IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(get_attribute(reader_lun, VENDOR_ATTR_DESCRIPTOR, &length, &value), IFD_COMMUNICATION_ERROR);

    RESPONSECODE rc;
    control(IOCTL_VENDOR_RPC, {0x10}, 64, &rc);
    EXPECT_EQ(rc, IFD_COMMUNICATION_ERROR);
}

TEST_F(EntryPoints, SessionStillSettingUpIsTreatedAsAbsent)
{
    ReaderScript script = ready_script();
    script.ready = false;
    auto session = session_in_slot(script);
    UCHAR atr[MAX_ATR_SIZE];
    DWORD atr_length = sizeof atr;
    EXPECT_EQ(IFDHPowerICC(reader_lun, IFD_RESET, atr, &atr_length), IFD_ERROR_POWER_ACTION);
    EXPECT_EQ(session->resets(), 0);
}

TEST_F(EntryPoints, PowerActionsReachTheSession)
{
    auto session = session_in_slot();
    UCHAR atr[MAX_ATR_SIZE];
    DWORD atr_length = sizeof atr;
    ASSERT_EQ(IFDHPowerICC(reader_lun, IFD_POWER_UP, atr, &atr_length), IFD_SUCCESS);
    EXPECT_EQ(Bytes(atr, atr + atr_length), ready_script().atr);

    atr_length = 3; // one byte short of the answer
    EXPECT_EQ(IFDHPowerICC(reader_lun, IFD_RESET, atr, &atr_length), IFD_ERROR_POWER_ACTION);
    EXPECT_EQ(atr_length, 3u);

    EXPECT_EQ(IFDHPowerICC(reader_lun, IFD_POWER_DOWN, atr, &atr_length), IFD_SUCCESS);
    EXPECT_EQ(IFDHPowerICC(reader_lun, 503, atr, &atr_length), IFD_SUCCESS);
    EXPECT_EQ(session->resets(), 2);
    EXPECT_EQ(session->shutdowns(), 1);
}

TEST_F(EntryPoints, TransmitPassesTheApduUnchangedAndReturnsTheResponse)
{
    auto session = session_in_slot();
    SCARD_IO_HEADER send_pci{2, 8};
    SCARD_IO_HEADER recv_pci{};
    UCHAR apdu[] = {0x00, 0xA4, 0x04, 0x00, 0x00};
    UCHAR response[258];
    DWORD response_length = sizeof response;
    ASSERT_EQ(IFDHTransmitToICC(reader_lun, send_pci, apdu, sizeof apdu, response, &response_length, &recv_pci),
              IFD_SUCCESS);
    EXPECT_EQ(Bytes(response, response + response_length), ready_script().apdu_response);
    EXPECT_EQ(recv_pci.Protocol, 2u);
    ASSERT_EQ(session->apdus().size(), 1u);
    EXPECT_EQ(session->apdus()[0], Bytes(apdu, apdu + sizeof apdu));

    session->edit([](ReaderScript &s) { s.apdu_response.clear(); }); // the next APDU fails
    EXPECT_EQ(IFDHTransmitToICC(reader_lun, send_pci, apdu, sizeof apdu, response, &response_length, &recv_pci),
              IFD_COMMUNICATION_ERROR);
}

TEST_F(EntryPoints, PresenceFollowsTheSlotStatus)
{
    worker().slots().record_status(0, 6);
    EXPECT_EQ(IFDHICCPresence(reader_lun), IFD_ICC_PRESENT);
    EXPECT_EQ(IFDHICCPresence(0), IFD_ICC_PRESENT);
    EXPECT_EQ(IFDHICCPresence(1), IFD_ICC_NOT_PRESENT); // slot 1 does not exist
    worker().slots().record_status(0, 5);
    EXPECT_EQ(IFDHICCPresence(reader_lun), IFD_ICC_NOT_PRESENT);
}

// pcscd's event thread asks for the status, then waits in the driver.
TEST_F(EntryPoints, TheEventWaitEndsAtEachSlotChangeAndAtOnceWhenStopped)
{
    RESPONSECODE (*wait)(DWORD, int) = nullptr;
    RESPONSECODE (*stop)(DWORD) = nullptr;
    DWORD length = sizeof wait;
    ASSERT_EQ(IFDHGetCapabilities(reader_lun, TAG_IFD_POLLING_THREAD_WITH_TIMEOUT, &length,
                                  reinterpret_cast<PUCHAR>(&wait)), IFD_SUCCESS);
    length = sizeof stop;
    ASSERT_EQ(IFDHGetCapabilities(reader_lun, TAG_IFD_STOP_POLLING_THREAD, &length, reinterpret_cast<PUCHAR>(&stop)),
              IFD_SUCCESS);
    // A change before the first wait, which pcscd's first question saw: the
    // wait must not end for it (pcscd would power its card down at once).
    worker().slots().record_status(0, 2);
    const std::function<void()> changes[] = {
        [] { worker().slots().record_status(0, 6); }, // card in
        [] { worker().slots().record_status(0, 2); }, // card out
        [] { worker().slots().record(0, 0, 0); },     // reader gone
        [] { worker().slots().record(0, 6, 264); },   // reader set up with a card
        [stop] { stop(reader_lun); },               // reader closed
    };
    for (const auto &change : changes) {
        auto waited = std::async(std::launch::async, [wait] {
            IFDHICCPresence(reader_lun);
            return wait(reader_lun, 60000);
        });
        EXPECT_EQ(waited.wait_for(100ms), std::future_status::timeout);
        IFDHICCPresence(reader_lun); // another thread asking changes nothing for the waiting one
        change();
        ASSERT_EQ(waited.wait_for(10s), std::future_status::ready);
        EXPECT_EQ(waited.get(), IFD_SUCCESS);
    }
    // A change before the wait, after the status was asked, is not missed.
    IFDHICCPresence(reader_lun);
    worker().slots().record_status(0, 2);
    EXPECT_EQ(wait(reader_lun, 60000), IFD_SUCCESS);
}

// pcscd closes a reader by stopping its event thread, which may be between
// two waits, and its next thread after the reader is opened again is
// another one: that thread's first wait is for a change it has not seen.
TEST_F(EntryPoints, AReaderOpenedAgainWaitsAfreshForCardEvents)
{
    RESPONSECODE (*wait)(DWORD, int) = nullptr;
    RESPONSECODE (*stop)(DWORD) = nullptr;
    DWORD length = sizeof wait;
    ASSERT_EQ(IFDHGetCapabilities(reader_lun, TAG_IFD_POLLING_THREAD_WITH_TIMEOUT, &length,
                                  reinterpret_cast<PUCHAR>(&wait)), IFD_SUCCESS);
    length = sizeof stop;
    ASSERT_EQ(IFDHGetCapabilities(reader_lun, TAG_IFD_STOP_POLLING_THREAD, &length, reinterpret_cast<PUCHAR>(&stop)),
              IFD_SUCCESS);
    std::async(std::launch::async, [wait] {
        IFDHICCPresence(reader_lun);
        return wait(reader_lun, 10);
    }).get();
    worker().slots().record_status(0, 6);
    stop(reader_lun);
    ASSERT_EQ(IFDHCloseChannel(reader_lun), IFD_SUCCESS);

    char name[] = "pemra:0";
    ASSERT_EQ(IFDHCreateChannelByName(reader_lun, name), IFD_SUCCESS);
    auto waited = std::async(std::launch::async, [wait] {
        IFDHICCPresence(reader_lun);
        return wait(reader_lun, 60000);
    });
    EXPECT_EQ(waited.wait_for(300ms), std::future_status::timeout);
    stop(reader_lun);
    EXPECT_EQ(waited.get(), IFD_SUCCESS);
}

TEST_F(EntryPoints, CapabilitiesAnnounceOneSlotAndTheMaximumApduSize)
{
    UCHAR byte = 0;
    DWORD length = 1;
    EXPECT_EQ(IFDHGetCapabilities(reader_lun, TAG_IFD_SLOTS_NUMBER, &length, &byte), IFD_SUCCESS);
    EXPECT_EQ(byte, 1);
    byte = 0;
    EXPECT_EQ(IFDHGetCapabilities(reader_lun, TAG_IFD_SIMULTANEOUS_ACCESS, &length, &byte), IFD_SUCCESS);
    EXPECT_EQ(byte, 1);
    EXPECT_EQ(IFDHGetCapabilities(reader_lun, TAG_IFD_THREAD_SAFE, &length, &byte), IFD_ERROR_TAG);

    worker().slots().record(0, 0, 498);
    length = 264;
    Bytes value;
    ASSERT_EQ(get_attribute(reader_lun, SCARD_ATTR_MAXINPUT, &length, &value), IFD_SUCCESS);
    ASSERT_EQ(length, 4u);
    std::uint32_t max_input;
    std::memcpy(&max_input, value.data(), 4);
    EXPECT_EQ(max_input, 498u);
    length = 264;
    EXPECT_EQ(get_attribute(1, SCARD_ATTR_MAXINPUT, &length, &value), IFD_ERROR_TAG);
}

TEST_F(EntryPoints, AddressAttributeIsTheTextWithItsNul)
{
    session_in_slot();
    DWORD length = 264;
    Bytes value;
    ASSERT_EQ(get_attribute(reader_lun, VENDOR_ATTR_IEEE, &length, &value), IFD_SUCCESS);
    EXPECT_EQ(length, 18u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(value.data()), length), std::string("C0:FF:EE:00:11:22", 18));

    length = 17;
    EXPECT_EQ(get_attribute(reader_lun, VENDOR_ATTR_IEEE, &length, &value), IFD_ERROR_INSUFFICIENT_BUFFER);

    length = 64;
    EXPECT_EQ(IFDHGetCapabilities(reader_lun, VENDOR_ATTR_IEEE, &length, nullptr), IFD_SUCCESS);
    EXPECT_EQ(length, 18u);
}

TEST_F(EntryPoints, AddressFillingTheWholeAreaIsCutToKeepItsNulAndALongerOneFails)
{
    ReaderScript script = ready_script();
    script.address = std::string(512, 'A');
    auto session = session_in_slot(script);
    DWORD length = 1024;
    Bytes value;
    ASSERT_EQ(get_attribute(reader_lun, VENDOR_ATTR_IEEE, &length, &value), IFD_SUCCESS);
    EXPECT_EQ(length, 512u);
    EXPECT_EQ(value[510], 'A');
    EXPECT_EQ(value[511], '\0');

    session->edit([](ReaderScript &s) { s.address = std::string(600, 'A'); });
    length = 1024;
    EXPECT_EQ(get_attribute(reader_lun, VENDOR_ATTR_IEEE, &length, &value), IFD_COMMUNICATION_ERROR);
}

TEST_F(EntryPoints, MissingOrEmptyAddressFailsWithoutClosingTheChannel)
{
    auto session = session_in_slot();
    DWORD length = 264;
    Bytes value;
    session->edit([](ReaderScript &s) { s.address.reset(); });
    EXPECT_EQ(get_attribute(reader_lun, VENDOR_ATTR_IEEE, &length, &value), IFD_COMMUNICATION_ERROR);
    session->edit([](ReaderScript &s) { s.address = ""; });
    EXPECT_EQ(get_attribute(reader_lun, VENDOR_ATTR_IEEE, &length, &value), IFD_COMMUNICATION_ERROR);
    UCHAR atr[MAX_ATR_SIZE];
    DWORD atr_length = sizeof atr;
    EXPECT_EQ(IFDHPowerICC(reader_lun, IFD_POWER_UP, atr, &atr_length), IFD_SUCCESS);
}

TEST_F(EntryPoints, DescriptorAttributeIsItsLengthByteAndEntries)
{
    auto session = session_in_slot();
    DWORD length = 264;
    Bytes value;
    ASSERT_EQ(get_attribute(reader_lun, VENDOR_ATTR_DESCRIPTOR, &length, &value), IFD_SUCCESS);
    EXPECT_EQ(value, ready_script().descriptor);

    length = 5;
    EXPECT_EQ(get_attribute(reader_lun, VENDOR_ATTR_DESCRIPTOR, &length, &value), IFD_ERROR_INSUFFICIENT_BUFFER);

    session->edit([](ReaderScript &s) { s.descriptor = {0x00, 0x99}; }); // announces no entries
    length = 264;
    ASSERT_EQ(get_attribute(reader_lun, VENDOR_ATTR_DESCRIPTOR, &length, &value), IFD_SUCCESS);
    EXPECT_EQ(value, Bytes{0x00});

    session->edit([](ReaderScript &s) { s.descriptor.clear(); }); // answered with the single byte 00
    EXPECT_EQ(get_attribute(reader_lun, VENDOR_ATTR_DESCRIPTOR, &length, &value), IFD_COMMUNICATION_ERROR);
}

TEST_F(EntryPoints, SettingTheAddressAttributeTakesAtMost62Bytes)
{
    UCHAR name[64];
    std::memset(name, 'x', sizeof name);
    EXPECT_EQ(IFDHSetCapabilities(reader_lun, VENDOR_ATTR_IEEE, 62, name), IFD_SUCCESS);
    EXPECT_EQ(IFDHSetCapabilities(reader_lun, VENDOR_ATTR_IEEE, 63, name), IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(IFDHSetCapabilities(reader_lun, VENDOR_ATTR_DESCRIPTOR, 4, name), IFD_ERROR_TAG);
    EXPECT_TRUE(worker().running());
}

TEST_F(EntryPoints, FeatureRequestAnnouncesOnlyTheTlvProperties)
{
    RESPONSECODE rc;
    EXPECT_EQ(control(CM_IOCTL_GET_FEATURE_REQUEST, {}, 7, &rc), (Bytes{0x12, 0x04, 0x11, 0x22, 0x33, 0x44}));
    EXPECT_EQ(rc, IFD_SUCCESS);
    control(CM_IOCTL_GET_FEATURE_REQUEST, {}, 6, &rc);
    EXPECT_EQ(rc, IFD_ERROR_INSUFFICIENT_BUFFER);
}

TEST_F(EntryPoints, TlvPropertiesReportTheMaximumLessNineOr257)
{
    RESPONSECODE rc;
    EXPECT_EQ(control(IOCTL_TLV_PROPERTIES, {}, 7, &rc), (Bytes{0x0A, 0x04, 0x01, 0x01, 0x00, 0x00}));
    worker().slots().record(0, 0, 256);
    EXPECT_EQ(control(IOCTL_TLV_PROPERTIES, {}, 7, &rc), (Bytes{0x0A, 0x04, 0x01, 0x01, 0x00, 0x00}));
    worker().slots().record(0, 0, 498);
    EXPECT_EQ(control(IOCTL_TLV_PROPERTIES, {}, 7, &rc), (Bytes{0x0A, 0x04, 0xE9, 0x01, 0x00, 0x00}));
    EXPECT_EQ(rc, IFD_SUCCESS);
    control(IOCTL_TLV_PROPERTIES, {}, 6, &rc);
    EXPECT_EQ(rc, IFD_ERROR_INSUFFICIENT_BUFFER);
}

TEST_F(EntryPoints, VendorRpcReturnsTheReadersWholeAnswer)
{
    auto session = session_in_slot();
    RESPONSECODE rc;
    EXPECT_EQ(control(IOCTL_VENDOR_RPC, {0x10, 0x22, 0x33}, 64, &rc), ready_script().rpc_answer);
    EXPECT_EQ(rc, IFD_SUCCESS);
    ASSERT_EQ(session->rpc_messages().size(), 1u);
    EXPECT_EQ(session->rpc_messages()[0].message, (Bytes{0x10, 0x22, 0x33}));
    EXPECT_TRUE(session->rpc_messages()[0].encrypted);

    session->edit([](ReaderScript &s) { s.rpc_answer = {0xFF, 0x01}; });
    control(IOCTL_VENDOR_RPC, {0x10}, 64, &rc);
    EXPECT_EQ(rc, IFD_COMMUNICATION_ERROR);
}

// Key requests and card commands are the session's and pcscd's own.
TEST_F(EntryPoints, VendorRpcRefusesKeyMessagesCardCommandsAndEmptyOnesWithoutReaderTraffic)
{
    auto session = session_in_slot();
    RESPONSECODE rc;
    for (const Bytes &message : {Bytes{}, Bytes{0x03, 0x01}, Bytes{0xA0}, Bytes{0x02, 0x04}, Bytes{0x02}}) {
        control(IOCTL_VENDOR_RPC, message, 64, &rc);
        EXPECT_EQ(rc, IFD_NOT_SUPPORTED);
    }
    EXPECT_TRUE(session->rpc_messages().empty());
}

// pcscd passes the application's buffer size: an answer larger than it is
// the application's to mend.
TEST_F(EntryPoints, AnAnswerLargerThanTheCallersBufferFailsAsTooSmall)
{
    session_in_slot();
    RESPONSECODE rc;
    control(IOCTL_VENDOR_RPC, {0x10}, 2, &rc);
    EXPECT_EQ(rc, IFD_ERROR_INSUFFICIENT_BUFFER);
    SCARD_IO_HEADER pci{1, 8};
    SCARD_IO_HEADER received{};
    std::uint8_t apdu[] = {0x00, 0x84, 0x00, 0x00, 0x08};
    std::uint8_t response[1];
    DWORD length = sizeof response;
    EXPECT_EQ(IFDHTransmitToICC(reader_lun, pci, apdu, sizeof apdu, response, &length, &received),
              IFD_ERROR_INSUFFICIENT_BUFFER);
}

TEST_F(EntryPoints, UnknownControlCodeIsNotSupported)
{
    auto session = session_in_slot();
    RESPONSECODE rc;
    control(SCARD_CTL_CODE(1), {0x10}, 64, &rc);
    EXPECT_EQ(rc, IFD_NOT_SUPPORTED);
    EXPECT_TRUE(session->rpc_messages().empty());
}

TEST_F(EntryPoints, RequestsForAMissingSlotFail)
{
    session_in_slot();
    UCHAR atr[MAX_ATR_SIZE];
    DWORD atr_length = sizeof atr;
    EXPECT_EQ(IFDHPowerICC(1, IFD_POWER_UP, atr, &atr_length), IFD_ERROR_POWER_ACTION);
}

TEST(OpenAndClose, ChannelOpensOnlyByNameAndClosingStopsNothing)
{
    EXPECT_EQ(IFDHCreateChannel(0, 1), static_cast<RESPONSECODE>(-1));
    EXPECT_FALSE(worker().running());
    char long_name[101];
    std::memset(long_name, 'n', 100);
    long_name[100] = '\0';
    testing::internal::CaptureStderr();
    EXPECT_EQ(IFDHCreateChannelByName(0, long_name), IFD_SUCCESS);
    EXPECT_EQ(IFDHCloseChannel(0), IFD_SUCCESS);
    std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_NE(printed.find(std::string("create channel by name ") + long_name + "\n"), std::string::npos);
    EXPECT_NE(printed.find("close channel\n"), std::string::npos);
    EXPECT_TRUE(worker().running());
    EXPECT_EQ(IFDHSetProtocolParameters(0, 1, 0, 0, 0, 0), IFD_SUCCESS);
}

} // namespace
