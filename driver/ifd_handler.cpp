// The IFD handler entry points that pcscd calls. None of them talks to the
// reader: they turn into one request on the worker's request channel, or
// read its slot table, and map the result to a pcsc-lite response code.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <span>

// ifdhandler.h has no C++ guards and no visibility attributes: give the
// entry points C linkage and make them the library's only exported symbols.
#pragma GCC visibility push(default)
extern "C" {
#include <ifdhandler.h>
#include <reader.h>
}
#pragma GCC visibility pop

#include "channel/request_channel.h"
#include "common/reader_messages.h"
#include "common/vendor_attributes.h"
#include "worker/worker.h"

namespace {

constexpr DWORD IOCTL_TLV_PROPERTIES = 0x11223344;
// Compared as it stands: applications pass 0xBB01, not SCARD_CTL_CODE(0xBB01).
constexpr DWORD IOCTL_VENDOR_RPC = 0xBB01;

// Both feature answers are 6 bytes, but the caller must offer at least 7.
constexpr DWORD min_feature_buffer = 7;
constexpr std::size_t attribute_area_size = 512;

// Opening waits this long at most for a reader that BlueZ already holds to be
// set up (a second's pause, then the handshake), so that pcscd's first
// client, which it serves only once opening returns, finds the card.
constexpr std::chrono::milliseconds open_wait_limit{4000};

// The longest value that setting the address attribute accepts.
constexpr DWORD max_address_setting = 62;

using EventWait = RESPONSECODE (*)(DWORD Lun, int timeout);
using EventWaitStop = RESPONSECODE (*)(DWORD Lun);

std::uint8_t slot_of(DWORD lun)
{
    return static_cast<std::uint8_t>(lun & 0xFF);
}

Worker &worker()
{
    return Worker::instance();
}

RequestChannel &requests()
{
    return worker().requests();
}

// The slot's maximum APDU size, never more than the channel carries; 0 while
// unknown.
std::int32_t max_apdu_size(std::uint8_t slot)
{
    return std::min<std::int32_t>(worker().slots().max_apdu_size(slot), max_request_payload);
}

// No exception may cross into pcscd.
template <typename EntryPoint>
RESPONSECODE guarded(EntryPoint entry_point)
{
    try {
        return entry_point();
    } catch (...) {
        return IFD_COMMUNICATION_ERROR;
    }
}

// The one place where a failure becomes pcscd's code. A caller's buffer too
// small for the answer and a request the driver does not pass on have codes
// of their own, which pcscd hands on to the application
// (SCARD_E_INSUFFICIENT_BUFFER, SCARD_E_UNSUPPORTED_FEATURE); every other
// failure is the link's.
RESPONSECODE code_of(Failure failure)
{
    switch (failure) {
    case Failure::DoesNotFit:
        return IFD_ERROR_INSUFFICIENT_BUFFER;
    case Failure::Refused:
        return IFD_NOT_SUPPORTED;
    default:
        return IFD_COMMUNICATION_ERROR;
    }
}

// A failure's code, unless the entry point has one of its own for every
// failure; on success the outputs are stored, which may still fail (a
// caller's buffer too small).
template <typename T, typename StoreOutputs>
RESPONSECODE respond(const Outcome<T> &outcome, StoreOutputs store_outputs,
                     std::optional<RESPONSECODE> failed = std::nullopt)
{
    if (!outcome)
        return failed.value_or(code_of(outcome.failure()));
    return store_outputs(*outcome);
}

// Reports an attribute value of `length` bytes from `area`, if the caller's
// buffer is large enough; a null Value only learns the length.
RESPONSECODE report_attribute(const std::uint8_t *area, DWORD length, PDWORD Length, PUCHAR Value)
{
    if (*Length < length)
        return code_of(Failure::DoesNotFit);
    *Length = length;
    if (Value != nullptr)
        std::memcpy(Value, area, length);
    return IFD_SUCCESS;
}

// The attributes come into an area of the driver's own: one that does not
// fit it is the link's failure, not the caller's.
RESPONSECODE get_ieee_attribute(std::uint8_t slot, PDWORD Length, PUCHAR Value)
{
    std::uint8_t area[attribute_area_size] = {};
    return respond(
        requests().exchange(slot, REQ_IEEE, {}, area),
        [&](std::size_t) {
            // Bounded by the area, so that the value always ends with its NUL.
            DWORD text_length = strnlen(reinterpret_cast<const char *>(area), attribute_area_size - 1);
            area[text_length] = '\0';
            return report_attribute(area, text_length + 1, Length, Value);
        },
        IFD_COMMUNICATION_ERROR);
}

RESPONSECODE get_descriptor_attribute(std::uint8_t slot, PDWORD Length, PUCHAR Value)
{
    // Cleared, so that a reply shorter than its first byte announces reports
    // zeros rather than stack contents.
    std::uint8_t area[attribute_area_size] = {};
    return respond(
        requests().exchange(slot, REQ_DESCRIPTOR, {}, area),
        [&](std::size_t) { return report_attribute(area, area[0] + 1, Length, Value); }, IFD_COMMUNICATION_ERROR);
}

RESPONSECODE get_max_input(std::uint8_t slot, PDWORD Length, PUCHAR Value)
{
    std::int32_t max_apdu = max_apdu_size(slot);
    if (max_apdu == 0)
        return IFD_ERROR_TAG;
    if (*Length < sizeof max_apdu)
        return code_of(Failure::DoesNotFit);
    *Length = sizeof max_apdu;
    if (Value != nullptr)
        std::memcpy(Value, &max_apdu, sizeof max_apdu);
    return IFD_SUCCESS;
}

// pcscd's event thread waits here for a card event rather than asking for
// the card status every 400 ms: it asks (IFDHICCPresence), then waits until
// the status changes, the timeout passes or the reader is closed.
RESPONSECODE wait_for_card_event(DWORD, int timeout)
{
    if (!worker().running())
        return IFD_COMMUNICATION_ERROR; // pcscd then polls, which starts the worker again
    worker().slots().wait_for_change(std::chrono::milliseconds(std::max(timeout, 0)));
    return IFD_SUCCESS;
}

RESPONSECODE stop_card_event_wait(DWORD)
{
    worker().slots().stop_wait();
    return IFD_SUCCESS;
}

template <typename Function> RESPONSECODE report_function(Function function, PDWORD Length, PUCHAR Value)
{
    if (*Length < sizeof function || Value == nullptr)
        return IFD_ERROR_INSUFFICIENT_BUFFER;
    std::memcpy(Value, &function, sizeof function);
    *Length = sizeof function;
    return IFD_SUCCESS;
}

RESPONSECODE answer_feature_request(PUCHAR RxBuffer, DWORD RxLength, LPDWORD pdwBytesReturned)
{
    std::fprintf(stderr, "GetFeatureRequest\n");
    if (RxBuffer == nullptr)
        return IFD_COMMUNICATION_ERROR;
    if (RxLength < min_feature_buffer)
        return code_of(Failure::DoesNotFit);
    const std::uint8_t features[] = {FEATURE_GET_TLV_PROPERTIES, 4,
                                     (IOCTL_TLV_PROPERTIES >> 24) & 0xFF, (IOCTL_TLV_PROPERTIES >> 16) & 0xFF,
                                     (IOCTL_TLV_PROPERTIES >> 8) & 0xFF, IOCTL_TLV_PROPERTIES & 0xFF};
    std::memcpy(RxBuffer, features, sizeof features);
    *pdwBytesReturned = sizeof features;
    return IFD_SUCCESS;
}

// dwMaxAPDUDataSize: the slot's maximum less the 9 bytes of framing around an
// APDU; 257 while no reader (or a small one) is in the slot.
RESPONSECODE answer_tlv_properties(std::uint8_t slot, PUCHAR RxBuffer, DWORD RxLength,
                                   LPDWORD pdwBytesReturned)
{
    std::int32_t max_apdu = max_apdu_size(slot);
    std::uint8_t lo = 1;
    std::uint8_t hi = 1;
    if (max_apdu > 256) {
        std::int32_t data_size = max_apdu - 9;
        lo = data_size & 0xFF;
        hi = (data_size >> 8) & 0xFF;
    }
    if (RxBuffer == nullptr)
        return IFD_COMMUNICATION_ERROR;
    if (RxLength < min_feature_buffer)
        return code_of(Failure::DoesNotFit);
    const std::uint8_t properties[] = {PCSCv2_PART10_PROPERTY_dwMaxAPDUDataSize, 4, lo, hi, 0, 0};
    std::memcpy(RxBuffer, properties, sizeof properties);
    *pdwBytesReturned = sizeof properties;
    return IFD_SUCCESS;
}

RESPONSECODE pass_vendor_rpc(std::uint8_t slot, PUCHAR TxBuffer, DWORD TxLength, PUCHAR RxBuffer,
                             DWORD RxLength, LPDWORD pdwBytesReturned)
{
    worker().start();
    if (RxBuffer == nullptr)
        return IFD_COMMUNICATION_ERROR;
    const std::span<const std::uint8_t> message(TxBuffer, TxLength);
    if (!reader_message::vendor_message_allowed(message))
        return code_of(Failure::Refused);
    return respond(requests().exchange(slot, REQ_RPC, message, std::span(RxBuffer, RxLength)),
                   [&](std::size_t length) {
                       if (pdwBytesReturned != nullptr)
                           *pdwBytesReturned = length;
                       return IFD_SUCCESS;
                   });
}

bool worker_failed(Failure failure)
{
    return failure != Failure::ChannelClosed && failure != Failure::NotAnswered && failure != Failure::DoesNotFit;
}

RESPONSECODE reset_card(std::uint8_t slot, PUCHAR Atr, PDWORD AtrLength)
{
    worker().start();
    Outcome<std::size_t> atr = requests().exchange(slot, REQ_RESET, {}, std::span(Atr, *AtrLength));
    // pcscd is told that no answer to reset came when the worker answered
    // with a failure, not when the channel failed.
    if (!atr && worker_failed(atr.failure()))
        *AtrLength = 0;
    return respond(
        atr,
        [&](std::size_t length) {
            *AtrLength = length;
            return IFD_SUCCESS;
        },
        IFD_ERROR_POWER_ACTION);
}

} // namespace

extern "C" {

RESPONSECODE IFDHCreateChannelByName(DWORD Lun, LPSTR DeviceName)
{
    (void)Lun;
    return guarded([&] {
        // The name picks no reader: the driver serves the one BlueZ holds.
        worker().slots().start_event_waits();
        worker().start();
        std::fprintf(stderr, "create channel by name %s\n", DeviceName);
        // pcscd 1.9.9 opens the readers of its configuration before it serves
        // any client: a client that connects meanwhile waits in the socket's
        // backlog, its SCardEstablishContext returns once opening has
        // returned (seen here: after 4 s, and after 25 s without any
        // timeout), and it finds the card present if the reader was set up
        // by then.
        worker().wait_until_settled(open_wait_limit);
        return IFD_SUCCESS;
    });
}

RESPONSECODE IFDHCreateChannel(DWORD Lun, DWORD Channel)
{
    (void)Lun;
    (void)Channel;
    return guarded([] {
        std::fprintf(stderr, "create channel by id\n");
        // The reader can only be opened by name.
        return static_cast<RESPONSECODE>(-1);
    });
}

RESPONSECODE IFDHCloseChannel(DWORD Lun)
{
    (void)Lun;
    return guarded([] {
        // The worker, the request channel and the bus connection stay.
        std::fprintf(stderr, "close channel\n");
        return IFD_SUCCESS;
    });
}

RESPONSECODE IFDHGetCapabilities(DWORD Lun, DWORD Tag, PDWORD Length, PUCHAR Value)
{
    return guarded([&]() -> RESPONSECODE {
        std::uint8_t slot = slot_of(Lun);
        switch (Tag) {
        case TAG_IFD_SLOTS_NUMBER:
        case TAG_IFD_SIMULTANEOUS_ACCESS:
            Value[0] = 1;
            return IFD_SUCCESS;
        case TAG_IFD_POLLING_THREAD_WITH_TIMEOUT:
            return report_function<EventWait>(wait_for_card_event, Length, Value);
        case TAG_IFD_STOP_POLLING_THREAD:
            return report_function<EventWaitStop>(stop_card_event_wait, Length, Value);
        case SCARD_ATTR_MAXINPUT:
            return get_max_input(slot, Length, Value);
        case VENDOR_ATTR_IEEE:
            return get_ieee_attribute(slot, Length, Value);
        case VENDOR_ATTR_DESCRIPTOR:
            return get_descriptor_attribute(slot, Length, Value);
        default:
            return IFD_ERROR_TAG;
        }
    });
}

RESPONSECODE IFDHSetCapabilities(DWORD Lun, DWORD Tag, DWORD Length, PUCHAR Value)
{
    (void)Lun;
    (void)Value;
    return guarded([&] {
        // Accepted, up to 62 bytes, and changes nothing: the address picks
        // no reader.
        if (Tag != VENDOR_ATTR_IEEE)
            return IFD_ERROR_TAG;
        return Length > max_address_setting ? IFD_COMMUNICATION_ERROR : IFD_SUCCESS;
    });
}

RESPONSECODE IFDHSetProtocolParameters(DWORD Lun, DWORD Protocol, UCHAR Flags, UCHAR PTS1, UCHAR PTS2,
                                       UCHAR PTS3)
{
    (void)Lun, (void)Protocol, (void)Flags, (void)PTS1, (void)PTS2, (void)PTS3;
    return IFD_SUCCESS;
}

RESPONSECODE IFDHPowerICC(DWORD Lun, DWORD Action, PUCHAR Atr, PDWORD AtrLength)
{
    return guarded([&]() -> RESPONSECODE {
        std::uint8_t slot = slot_of(Lun);
        switch (Action) {
        case IFD_POWER_UP:
        case IFD_RESET:
            return reset_card(slot, Atr, AtrLength);
        case IFD_POWER_DOWN:
            worker().start();
            // A card that did not acknowledge the shutdown is off all the same.
            requests().exchange(slot, REQ_POWER_OFF, {}, {});
            return IFD_SUCCESS;
        default:
            return IFD_SUCCESS;
        }
    });
}

RESPONSECODE IFDHTransmitToICC(DWORD Lun, SCARD_IO_HEADER SendPci, PUCHAR TxBuffer, DWORD TxLength,
                               PUCHAR RxBuffer, PDWORD RxLength, PSCARD_IO_HEADER RecvPci)
{
    return guarded([&]() -> RESPONSECODE {
        *RecvPci = SendPci;
        // No T=0 or T=1 processing: the reader takes the APDU as it is.
        return respond(requests().exchange(slot_of(Lun), REQ_APDU, std::span(TxBuffer, TxLength),
                                           std::span(RxBuffer, *RxLength)),
                       [&](std::size_t length) {
                           *RxLength = length;
                           return IFD_SUCCESS;
                       });
    });
}

RESPONSECODE IFDHICCPresence(DWORD Lun)
{
    return guarded([&]() -> RESPONSECODE {
        worker().slots().status_asked();
        if (worker().slots().card_status(slot_of(Lun)) == reader_message::card_present)
            return IFD_ICC_PRESENT;
        // pcscd asks for the status now and then, which retries a failed start.
        worker().start();
        return IFD_ICC_NOT_PRESENT;
    });
}

RESPONSECODE IFDHControl(DWORD Lun, DWORD dwControlCode, PUCHAR TxBuffer, DWORD TxLength, PUCHAR RxBuffer,
                         DWORD RxLength, LPDWORD pdwBytesReturned)
{
    return guarded([&]() -> RESPONSECODE {
        std::uint8_t slot = slot_of(Lun);
        switch (dwControlCode) {
        case IOCTL_TLV_PROPERTIES:
            return answer_tlv_properties(slot, RxBuffer, RxLength, pdwBytesReturned);
        case CM_IOCTL_GET_FEATURE_REQUEST:
            return answer_feature_request(RxBuffer, RxLength, pdwBytesReturned);
        case IOCTL_VENDOR_RPC:
            return pass_vendor_rpc(slot, TxBuffer, TxLength, RxBuffer, RxLength, pdwBytesReturned);
        default:
            return IFD_NOT_SUPPORTED;
        }
    });
}

} // extern "C"
