#include "sim/reader_protocol.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "crypto/link_crypto.h"
#include "sim/event_log.h"
#include "sim/key_store.h"

namespace pemra_sim {

namespace {

constexpr std::uint8_t status_ok = 0x00;
constexpr std::uint8_t status_no_key = 0x01;
constexpr std::uint8_t status_no_card = 0x01;
constexpr std::uint8_t status_not_powered = 0x02;
constexpr std::uint8_t status_too_long = 0x0B;
constexpr std::uint8_t status_failed = 0xFF;
// What the failed-status switch puts in place of a reply's status byte.
constexpr std::uint8_t status_broken = 0xFE;
// A frame this long holds no whole tag.
constexpr std::size_t too_short_to_open = 3;

constexpr std::uint8_t request_descriptor = 0x01;
constexpr std::uint8_t request_card = 0x02;
constexpr std::uint8_t request_host_name = 0x04;
constexpr std::uint8_t request_time = 0x0A;
constexpr std::uint8_t request_message_size = 0x10;
constexpr std::uint8_t vendor_reverse_code = 0x7E;

// Keeps the descriptor within the 255 bytes a PC/SC attribute read asks for.
constexpr std::size_t max_name_size = 64;

constexpr std::uint8_t card_reset = 0x01;
constexpr std::uint8_t card_shutdown = 0x04;
constexpr std::uint8_t card_apdu = 0x05;

// What the reader answers to the session-key request when the key-reply
// fault is set: five bytes beginning 03.
const Bytes refused_key_reply{0x03, 0x00, 0x00, 0x00, 0x00};

Bytes ok_with(const Bytes &data)
{
    Bytes reply{status_ok};
    reply.insert(reply.end(), data.begin(), data.end());
    return reply;
}

void append_entry(Bytes &entries, std::string_view name, const Bytes &value)
{
    entries.push_back(static_cast<std::uint8_t>(name.size() + value.size() + 2));
    entries.push_back(static_cast<std::uint8_t>(name.size()));
    entries.insert(entries.end(), name.begin(), name.end());
    entries.push_back(static_cast<std::uint8_t>(value.size()));
    entries.insert(entries.end(), value.begin(), value.end());
}

// The six bytes of a "XX:XX:XX:XX:XX:XX" address, zeros for anything else.
Bytes mac_bytes(const std::string &address)
{
    Bytes mac(6);
    unsigned parts[6];
    if (std::sscanf(address.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x", &parts[0], &parts[1], &parts[2], &parts[3],
                    &parts[4], &parts[5]) == 6)
        std::ranges::copy(parts, mac.begin());
    return mac;
}

} // namespace

ReaderProtocol::ReaderProtocol(ReaderIdentity identity, std::size_t message_size, KeyStore &keys, Faults &faults,
                               EventLog &log, std::string source)
    : identity_(std::move(identity)), message_size_(message_size), keys_(keys), faults_(faults), log_(log),
      source_(std::move(source)),
      // An answer carries a status byte and travels encrypted.
      builtin_card_(message_size - pemra_crypto_get_encrypted_size(0) - 1)
{
}

Bytes ReaderProtocol::answer(const Bytes &message, const std::string &host)
{
    if (message.empty())
        return {status_failed};
    switch (message[0]) {
    case key_exchange_code:
        return key_exchange(message, host);
    case session_key_code:
        return session_key(message, host);
    case encrypted_frame_marker:
        return encrypted(message);
    default:
        log_.add("request", source_, "plain", message);
        return plain_answer();
    }
}

Bytes ReaderProtocol::plain_answer() const
{
    const int size = faults_.value(Fault::PlainReplyBytes);
    if (size <= 0)
        return {status_failed};
    Bytes counting(static_cast<std::size_t>(size));
    for (std::size_t i = 0; i < counting.size(); ++i)
        counting[i] = static_cast<std::uint8_t>(i);
    return counting;
}

Bytes ReaderProtocol::key_exchange(const Bytes &message, const std::string &host)
{
    log_.add("key-exchange", source_, host);
    auto agreement = agree_long_term_key(message);
    if (agreement.ltk)
        keys_.store(identity_.address, host, *agreement.ltk);
    if (faults_.take(Fault::ShortKeyExchangeReply) && !agreement.reply.empty())
        agreement.reply.pop_back();
    return agreement.reply;
}

Bytes ReaderProtocol::session_key(const Bytes &message, const std::string &host)
{
    log_.add("session-key", source_, host);
    if (faults_.take(Fault::KeyReply03))
        return refused_key_reply;
    const auto ltk = keys_.find(identity_.address, host);
    if (!ltk)
        return {status_no_key};
    auto reply = cipher_.start(*ltk, message);
    return reply ? *reply : Bytes{status_failed};
}

Bytes ReaderProtocol::encrypted(const Bytes &message)
{
    const Bytes sealed(message.begin() + 1, message.end());
    const auto request = cipher_.active() ? cipher_.open(sealed) : std::nullopt;
    if (!request) {
        log_.add("decrypt-failure", source_, cipher_.active() ? "tag" : "no session key", message);
        return {status_failed};
    }
    log_.add("request", source_, "encrypted", *request);
    Bytes reply = plaintext_answer(*request);
    if (faults_.take(Fault::FailedStatus))
        reply[0] = status_broken;
    log_.add("reply", source_, "encrypted", reply);
    Bytes frame = cipher_.seal(reply);
    if (faults_.take(Fault::CorruptTag) && !frame.empty())
        frame.back() ^= 0xFF;
    if (faults_.take(Fault::ShortReply))
        frame.resize(std::min<std::size_t>(frame.size(), too_short_to_open));
    return frame;
}

Bytes ReaderProtocol::plaintext_answer(const Bytes &request)
{
    if (request.size() + pemra_crypto_get_encrypted_size(0) > message_size_)
        return {status_too_long};
    switch (request[0]) {
    case request_descriptor:
        return ok_with(descriptor());
    case request_card:
        return card_command(request);
    case request_host_name:
        host_name_.assign(request.begin() + 1, request.end());
        return {status_ok};
    case request_time:
        return {request.size() == 3 ? status_ok : status_failed};
    case request_message_size:
        return {status_ok, static_cast<std::uint8_t>(message_size_ & 0xFF),
                static_cast<std::uint8_t>(message_size_ >> 8)};
    case vendor_reverse_code:
        return vendor_reverse(request);
    default:
        return {status_failed};
    }
}

Bytes ReaderProtocol::card_command(const Bytes &request)
{
    if (request.size() < 2)
        return {status_failed};
    const std::uint8_t command = request[1];
    if (command == card_shutdown) {
        if (std::exchange(powered_, false))
            card_->power_off();
        return {status_ok};
    }
    if (command != card_reset && command != card_apdu)
        return {status_failed};
    if (card_status_ != card_present)
        return {status_no_card};
    if (command == card_reset) {
        if (faults_.take(Fault::EmptyAtr))
            return {status_ok};
        const Bytes atr = card_->power_on();
        powered_ = !atr.empty();
        return powered_ ? ok_with(atr) : Bytes{status_no_card};
    }
    if (!powered_)
        return {status_not_powered};
    const Bytes response = card_->process(std::span(request).subspan(2));
    return response.empty() ? Bytes{status_no_card} : ok_with(response);
}

Bytes ReaderProtocol::vendor_reverse(const Bytes &request) const
{
    Bytes reply(request.rbegin(), request.rend());
    reply.insert(reply.begin(), status_ok);
    return reply;
}

Bytes ReaderProtocol::descriptor() const
{
    const Bytes mac = mac_bytes(identity_.address);
    const std::string name = identity_.name.substr(0, max_name_size);
    Bytes entries;
    append_entry(entries, "MAC", mac);
    append_entry(entries, "Serial", Bytes{0x20, mac[2], mac[3], mac[4], mac[5]});
    append_entry(entries, "Name", Bytes(name.begin(), name.end()));
    append_entry(entries, "Firmware", Bytes{'s', 'i', 'm', '-', '1'});
    entries.insert(entries.begin(), static_cast<std::uint8_t>(entries.size()));
    return entries;
}

void ReaderProtocol::set_card_status(std::uint8_t status)
{
    card_status_ = status;
    if (status != card_present)
        powered_ = false;
}

void ReaderProtocol::use_card(CardBackend *card)
{
    card_ = card ? card : &builtin_card_;
    powered_ = false;
}

void ReaderProtocol::end_session()
{
    cipher_.reset();
    powered_ = false;
}

} // namespace pemra_sim
