// The IFD handler entry points that pcscd calls. None of them talks to the
// reader: they turn into one request on the request channel, or read the
// slot table, and map the result to a pcsc-lite response code.

#include <cstdio>
#include <cstring>
#include <span>

// ifdhandler.h has no C++ guards and no visibility attributes: give the
// entry points C linkage and make them the library's only exported symbols.
#pragma GCC visibility push(default)
extern "C" {
#include <ifdhandler.h>
#include <reader.h>
}
#pragma GCC visibility pop

#include "driver/request_channel.h"
#include "worker/bt_thread.h"
#include "worker/slot_table.h"

namespace {

constexpr DWORD VENDOR_ATTR_IEEE = SCARD_ATTR_VALUE(SCARD_CLASS_VENDOR_DEFINED, 0xB020);
constexpr DWORD VENDOR_ATTR_DESCRIPTOR = SCARD_ATTR_VALUE(SCARD_CLASS_VENDOR_DEFINED, 0xB021);
constexpr DWORD IOCTL_TLV_PROPERTIES = 0x11223344;
// Compared as it stands: applications pass 0xBB01, not SCARD_CTL_CODE(0xBB01).
constexpr DWORD IOCTL_VENDOR_RPC = 0xBB01;

// Both feature answers are 6 bytes, but the caller must offer at least 7.
constexpr DWORD min_feature_buffer = 7;
constexpr std::size_t attribute_area_size = 512;

// The name pcscd opened the reader with; stored, never used to pick a reader.
char device_name[64];

std::uint8_t slot_of(DWORD lun)
{
    return static_cast<std::uint8_t>(lun & 0xFF);
}

void store_device_name(const void *name, std::size_t length)
{
    std::memcpy(device_name, name, length);
    device_name[length] = '\0';
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

// Reports an attribute value of `length` bytes from `area`, if the caller's
// buffer is large enough; a null Value only learns the length.
RESPONSECODE report_attribute(const std::uint8_t *area, DWORD length, PDWORD Length, PUCHAR Value)
{
    if (*Length < length)
        return IFD_COMMUNICATION_ERROR;
    *Length = length;
    if (Value != nullptr)
        std::memcpy(Value, area, length);
    return IFD_SUCCESS;
}

RESPONSECODE get_ieee_attribute(std::uint8_t slot, PDWORD Length, PUCHAR Value)
{
    std::uint8_t area[attribute_area_size] = {};
    if (get_pemra_ieee(slot, area) < 0)
        return IFD_COMMUNICATION_ERROR;
    // Bounded by the area, so that the value always ends with its NUL.
    DWORD text_length = strnlen(reinterpret_cast<const char *>(area), attribute_area_size - 1);
    area[text_length] = '\0';
    return report_attribute(area, text_length + 1, Length, Value);
}

RESPONSECODE get_descriptor_attribute(std::uint8_t slot, PDWORD Length, PUCHAR Value)
{
    // Cleared, so that a reply shorter than its first byte announces reports
    // zeros rather than stack contents.
    std::uint8_t area[attribute_area_size] = {};
    if (get_pemra_descriptor(slot, area) < 0)
        return IFD_COMMUNICATION_ERROR;
    return report_attribute(area, area[0] + 1, Length, Value);
}

RESPONSECODE get_max_input(std::uint8_t slot, PDWORD Length, PUCHAR Value)
{
    std::int32_t max_apdu = get_apdu_len(slot);
    if (max_apdu == 0)
        return IFD_ERROR_TAG;
    *Length = sizeof(std::uint32_t);
    if (Value != nullptr)
        std::memcpy(Value, &max_apdu, sizeof max_apdu);
    return IFD_SUCCESS;
}

RESPONSECODE answer_feature_request(PUCHAR RxBuffer, DWORD RxLength, LPDWORD pdwBytesReturned)
{
    std::fprintf(stderr, "GetFeatureRequest\n");
    if (RxBuffer == nullptr || RxLength < min_feature_buffer)
        return IFD_COMMUNICATION_ERROR;
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
    std::int32_t max_apdu = get_apdu_len(slot);
    std::uint8_t lo = 1;
    std::uint8_t hi = 1;
    if (max_apdu > 256) {
        std::int32_t data_size = max_apdu - 9;
        lo = data_size & 0xFF;
        hi = (data_size >> 8) & 0xFF;
    }
    if (RxBuffer == nullptr || RxLength < min_feature_buffer)
        return IFD_COMMUNICATION_ERROR;
    const std::uint8_t properties[] = {PCSCv2_PART10_PROPERTY_dwMaxAPDUDataSize, 4, lo, hi, 0, 0};
    std::memcpy(RxBuffer, properties, sizeof properties);
    *pdwBytesReturned = sizeof properties;
    return IFD_SUCCESS;
}

RESPONSECODE pass_vendor_rpc(std::uint8_t slot, PUCHAR TxBuffer, DWORD TxLength, PUCHAR RxBuffer,
                             DWORD RxLength, LPDWORD pdwBytesReturned)
{
    start_bt_thread(device_name);
    unsigned long answer_length = RxLength;
    if (write_rpc_ext(slot, std::span(TxBuffer, TxLength), RxBuffer, &answer_length) != 0)
        return IFD_COMMUNICATION_ERROR;
    if (pdwBytesReturned != nullptr)
        *pdwBytesReturned = answer_length;
    return IFD_SUCCESS;
}

} // namespace

extern "C" {

RESPONSECODE IFDHCreateChannelByName(DWORD Lun, LPSTR DeviceName)
{
    (void)Lun;
    return guarded([&] {
        store_device_name(DeviceName, strnlen(DeviceName, sizeof device_name - 1));
        start_bt_thread(device_name);
        std::fprintf(stderr, "create channel by name %s\n", DeviceName);
        return IFD_SUCCESS;
    });
}

RESPONSECODE IFDHCreateChannel(DWORD Lun, DWORD Channel)
{
    (void)Lun;
    (void)Channel;
    std::fprintf(stderr, "create channel by id\n");
    // The reader can only be opened by name.
    return static_cast<RESPONSECODE>(-1);
}

RESPONSECODE IFDHCloseChannel(DWORD Lun)
{
    (void)Lun;
    // The worker, the request channel and the bus connection stay.
    std::fprintf(stderr, "close channel\n");
    return IFD_SUCCESS;
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
    if (Tag != VENDOR_ATTR_IEEE)
        return IFD_ERROR_TAG;
    if (Length > 62)
        return IFD_COMMUNICATION_ERROR;
    store_device_name(Value, Length);
    stop_bt_thread();
    return IFD_SUCCESS;
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
        case IFD_RESET: {
            start_bt_thread(device_name);
            unsigned long capacity = *AtrLength;
            int status = icc_reset(slot, Atr, &capacity);
            *AtrLength = capacity;
            return status == 0 ? IFD_SUCCESS : IFD_ERROR_POWER_ACTION;
        }
        case IFD_POWER_DOWN:
            start_bt_thread(device_name);
            // A card that did not acknowledge the shutdown is off all the same.
            icc_power_off(slot);
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
        unsigned long capacity = *RxLength;
        if (write_apdu(slot_of(Lun), std::span(TxBuffer, TxLength), RxBuffer, &capacity) != 0)
            return IFD_COMMUNICATION_ERROR;
        *RxLength = capacity;
        return IFD_SUCCESS;
    });
}

RESPONSECODE IFDHICCPresence(DWORD Lun)
{
    return guarded([&]() -> RESPONSECODE {
        if (get_card_status(slot_of(Lun)) == card_status_present)
            return IFD_ICC_PRESENT;
        // pcscd polls presence periodically, which retries a failed start.
        start_bt_thread(device_name);
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
