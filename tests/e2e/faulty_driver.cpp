// A reader driver with the memory faults that the sanitized end-to-end tests
// must notice in pcscd, chosen by FAULTY_DRIVER_FAULT in pcscd's environment:
// "use-after-free" when pcscd closes the reader, "leak" on a thread of the
// driver's own when pcscd opens it (as the worker's allocations are made),
// anything else none.

#include <cstdlib>
#include <cstring>
#include <thread>

extern "C" {
#include <ifdhandler.h>
}

namespace {

char *volatile kept;

bool fault_is(const char *fault)
{
    const char *chosen = std::getenv("FAULTY_DRIVER_FAULT");
    return chosen && std::strcmp(chosen, fault) == 0;
}

} // namespace

extern "C" {

RESPONSECODE IFDHCreateChannelByName(DWORD, LPSTR)
{
    if (fault_is("leak"))
        std::thread([] { kept = static_cast<char *>(std::malloc(64)); kept = nullptr; }).join();
    return IFD_SUCCESS;
}

RESPONSECODE IFDHCloseChannel(DWORD)
{
    if (fault_is("use-after-free")) {
        kept = static_cast<char *>(std::malloc(8));
        std::free(kept);
        return kept[3];
    }
    return IFD_SUCCESS;
}

RESPONSECODE IFDHCreateChannel(DWORD, DWORD)
{
    return IFD_COMMUNICATION_ERROR;
}

RESPONSECODE IFDHGetCapabilities(DWORD, DWORD, PDWORD, PUCHAR)
{
    return IFD_ERROR_TAG;
}

RESPONSECODE IFDHSetCapabilities(DWORD, DWORD, DWORD, PUCHAR)
{
    return IFD_ERROR_TAG;
}

RESPONSECODE IFDHSetProtocolParameters(DWORD, DWORD, UCHAR, UCHAR, UCHAR, UCHAR)
{
    return IFD_SUCCESS;
}

RESPONSECODE IFDHPowerICC(DWORD, DWORD, PUCHAR, PDWORD)
{
    return IFD_ERROR_POWER_ACTION;
}

RESPONSECODE IFDHTransmitToICC(DWORD, SCARD_IO_HEADER, PUCHAR, DWORD, PUCHAR, PDWORD, PSCARD_IO_HEADER)
{
    return IFD_COMMUNICATION_ERROR;
}

RESPONSECODE IFDHControl(DWORD, DWORD, PUCHAR, DWORD, PUCHAR, DWORD, LPDWORD)
{
    return IFD_NOT_SUPPORTED;
}

RESPONSECODE IFDHICCPresence(DWORD)
{
    return IFD_ICC_NOT_PRESENT;
}

} // extern "C"
