// APDU round trips through pcscd with the PC/SC client library, timed one by
// one. The benchmark script drives it over standard input, one command a
// line, and reads one answer line per command, so that it can sample pcscd's
// CPU time between warm-up and measurement without a new connection:
//
//   maxinput                  -> "maxinput N" (SCARD_ATTR_MAXINPUT, 0 if none)
//   run COUNT HEX-APDU        -> "run count=.. errors=.. median_us=.. p90_us=..
//                                 p99_us=.. per_s=.. response_bytes=.."
//
// Usage: pemra_apdu_round_trip READER-NAME-PREFIX
// (PCSCLITE_CSOCK_NAME in the environment chooses the daemon).
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <PCSC/reader.h>
#include <PCSC/winscard.h>

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

// The largest response of an extended APDU, status word included.
constexpr std::size_t response_capacity = 65538;

void check(LONG rc, const char *what)
{
    if (rc != SCARD_S_SUCCESS)
        throw std::runtime_error(std::string(what) + ": " + pcsc_stringify_error(rc));
}

Bytes parse_hex(const std::string &text)
{
    if (text.size() % 2 != 0)
        throw std::invalid_argument("odd number of hex digits");
    Bytes bytes;
    for (std::size_t i = 0; i < text.size(); i += 2)
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return bytes;
}

// The value below which `share` of the sorted samples lie.
double percentile(const std::vector<double> &sorted, double share)
{
    const auto index = static_cast<std::size_t>(share * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[index];
}

class Connection {
public:
    explicit Connection(const std::string &reader_prefix)
    {
        check(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context_), "SCardEstablishContext");
        const std::string reader = find_reader(reader_prefix);
        DWORD protocol = 0;
        check(SCardConnect(context_, reader.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                           &card_, &protocol),
              "SCardConnect");
        send_pci_ = protocol == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
    }
    ~Connection()
    {
        SCardDisconnect(card_, SCARD_LEAVE_CARD);
        SCardReleaseContext(context_);
    }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    std::uint32_t max_input() const
    {
        std::uint32_t value = 0;
        DWORD length = sizeof value;
        const LONG rc = SCardGetAttrib(card_, SCARD_ATTR_MAXINPUT, reinterpret_cast<LPBYTE>(&value), &length);
        return rc == SCARD_S_SUCCESS && length == sizeof value ? value : 0;
    }

    // The response length, or nothing when the exchange failed.
    std::optional<std::size_t> transmit(const Bytes &apdu)
    {
        DWORD length = static_cast<DWORD>(response_.size());
        const LONG rc = SCardTransmit(card_, send_pci_, apdu.data(), static_cast<DWORD>(apdu.size()), nullptr,
                                      response_.data(), &length);
        if (rc != SCARD_S_SUCCESS)
            return std::nullopt;
        return length;
    }

private:
    std::string find_reader(const std::string &prefix) const
    {
        DWORD length = 0;
        check(SCardListReaders(context_, nullptr, nullptr, &length), "SCardListReaders");
        std::string names(length, '\0');
        check(SCardListReaders(context_, nullptr, names.data(), &length), "SCardListReaders");
        for (std::size_t at = 0; at < names.size() && names[at] != '\0';) {
            const std::string name(names.c_str() + at);
            if (name.starts_with(prefix))
                return name;
            at += name.size() + 1;
        }
        throw std::runtime_error("no reader named " + prefix + "...");
    }

    SCARDCONTEXT context_ = 0;
    SCARDHANDLE card_ = 0;
    const SCARD_IO_REQUEST *send_pci_ = nullptr;
    Bytes response_ = Bytes(response_capacity);
};

std::string run(Connection &connection, std::size_t count, const Bytes &apdu)
{
    std::vector<double> micros;
    micros.reserve(count);
    std::size_t errors = 0;
    std::size_t response_bytes = 0;
    const auto start = Clock::now();
    for (std::size_t i = 0; i < count; ++i) {
        const auto before = Clock::now();
        const auto response = connection.transmit(apdu);
        const auto after = Clock::now();
        if (!response) {
            ++errors;
            continue;
        }
        response_bytes = *response;
        micros.push_back(std::chrono::duration<double, std::micro>(after - before).count());
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::ostringstream line;
    line << "run count=" << micros.size() << " errors=" << errors;
    if (!micros.empty()) {
        std::ranges::sort(micros);
        line << " median_us=" << percentile(micros, 0.5) << " p90_us=" << percentile(micros, 0.9)
             << " p99_us=" << percentile(micros, 0.99) << " per_s=" << static_cast<double>(micros.size()) / seconds
             << " response_bytes=" << response_bytes;
    }
    return line.str();
}

std::string answer(Connection &connection, const std::string &command_line)
{
    std::istringstream words(command_line);
    std::string command;
    words >> command;
    if (command == "maxinput")
        return "maxinput " + std::to_string(connection.max_input());
    if (command == "run") {
        std::size_t count = 0;
        std::string hex;
        if (!(words >> count >> hex))
            throw std::invalid_argument("run needs COUNT and HEX-APDU");
        return run(connection, count, parse_hex(hex));
    }
    throw std::invalid_argument("unknown command " + command);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "Usage: %s READER-NAME-PREFIX\n", argv[0]);
        return 2;
    }
    try {
        Connection connection(argv[1]);
        for (std::string line; std::getline(std::cin, line);) {
            if (!line.empty())
                std::cout << answer(connection, line) << std::endl;
        }
        return 0;
    } catch (const std::exception &error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
}
