// pemra_info: finds a Pemra reader through pcscd and prints its Bluetooth
// address and its descriptor, one entry per line. The driver serves both as
// vendor reader attributes; the tool reaches it only through the daemon.

#include <winscard.h>
#include <reader.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <iostream>
#include <optional>
#include <span>

#include "common/vendor_attributes.h"
#include "tools/descriptor_printer.h"
#include "tools/reader_number.h"

namespace {

constexpr std::size_t reader_list_size = 2048;
constexpr std::size_t address_buffer_size = 64;
// One byte short of the buffer, so that a terminating zero always fits.
constexpr DWORD address_request = address_buffer_size - 1;
constexpr std::size_t descriptor_buffer_size = 512;
// A descriptor with N = 255 is 256 bytes long and fails this read.
constexpr DWORD descriptor_request = 255;

// Reads the attribute `tag`, at most `requested` bytes of it, into `buffer`
// (which must hold that many); the bytes returned, or nothing on failure.
std::optional<std::span<std::uint8_t>> read_attribute(SCARDHANDLE card, DWORD tag,
                                                      std::span<std::uint8_t> buffer, DWORD requested)
{
    DWORD length = requested;
    if (SCardGetAttrib(card, tag, buffer.data(), &length) != SCARD_S_SUCCESS)
        return std::nullopt;
    // The client library already refuses a longer value; bounded here too so
    // that nothing beyond the request is ever taken as returned.
    return buffer.first(std::min(length, requested));
}

// Fills `readers` with the daemon's reader list, a multi-string.
bool list_readers(SCARDCONTEXT context, std::array<char, reader_list_size> &readers)
{
    DWORD length = readers.size();
    return SCardListReaders(context, nullptr, readers.data(), &length) == SCARD_S_SUCCESS;
}

// Direct mode: the reader is reached whether or not a card is in it.
std::optional<SCARDHANDLE> connect_direct(SCARDCONTEXT context, const char *reader)
{
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    if (SCardConnect(context, reader, SCARD_SHARE_DIRECT, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card,
                     &protocol) != SCARD_S_SUCCESS)
        return std::nullopt;
    return card;
}

// A Pemra reader is one that answers VENDOR_ATTR_IEEE.
bool is_pemra_reader(SCARDHANDLE card)
{
    std::array<std::uint8_t, address_buffer_size> address{};
    return read_attribute(card, VENDOR_ATTR_IEEE, address, address.size()).has_value();
}

// A connected handle of the first listed reader if it is a Pemra reader and
// the reader number lets it be tried; any PC/SC failure gives none.
std::optional<SCARDHANDLE> select_reader(long reader_number)
{
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context) != SCARD_S_SUCCESS)
        return std::nullopt;
    std::array<char, reader_list_size> readers{};
    if (!list_readers(context, readers) || readers[0] == '\0' || !tries_first_reader(reader_number))
        return std::nullopt;
    const auto card = connect_direct(context, readers.data());
    if (!card)
        return std::nullopt;
    if (!is_pemra_reader(*card)) {
        SCardDisconnect(*card, SCARD_LEAVE_CARD);
        return std::nullopt;
    }
    return card;
}

// Prints nothing when the address cannot be read.
void print_address(SCARDHANDLE card)
{
    std::array<std::uint8_t, address_buffer_size> buffer{};
    const auto address = read_attribute(card, VENDOR_ATTR_IEEE, buffer, address_request);
    if (!address)
        return;
    buffer[address->size()] = 0;
    std::cout << "bluetooth addr is set to " << reinterpret_cast<const char *>(buffer.data()) << '\n';
}

// Prints nothing when the descriptor cannot be read.
void print_reader_descriptor(SCARDHANDLE card)
{
    std::array<std::uint8_t, descriptor_buffer_size> buffer{};
    if (const auto descriptor = read_attribute(card, VENDOR_ATTR_DESCRIPTOR, buffer, descriptor_request))
        print_descriptor(*descriptor, std::cout);
}

} // namespace

// The context and the handle are left to the daemon, which releases both
// when the program ends.
int main(int argc, char *argv[])
{
    if (argc > 2) {
        std::cerr << "Usage " << argv[0] << " [reader no.]\n";
        return 1;
    }
    const long reader_number = argc == 2 ? parse_reader_number(argv[1]) : no_reader_number;
    const auto card = select_reader(reader_number);
    if (!card) {
        std::cerr << "no bluetooth Pemra found\n";
        return 1;
    }
    print_address(*card);
    print_reader_descriptor(*card);
    return 0;
}
