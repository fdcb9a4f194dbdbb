#include "sim/reader_firmware.h"

#include <utility>

#include "sim/event_log.h"
#include "sim/key_store.h"

namespace pemra_sim {

namespace {

constexpr std::uint8_t card_status_report = 0x01;
constexpr int status_characteristic = 8;
constexpr int indication_characteristic = 9;

} // namespace

ReaderFirmware::ReaderFirmware(const ReaderOptions &options, KeyStore &keys, EventLog &event_log,
                               std::string source, Hooks hooks)
    : keys_(keys), log_(event_log), address_(options.address), source_(std::move(source)), hooks_(std::move(hooks)),
      protocol_({options.address, options.name}, options.message_size, keys, faults_, event_log, source_),
      tunnel_(faults_,
              {[this](const Bytes &message) { return protocol_.answer(message, host_); },
               [this](const Bytes &value) { hooks_.notify(4, value); }, [this] { hooks_.disconnect(); },
               [this](const std::string &event, const std::string &detail, const Bytes &data) {
                   log(event, detail, data);
               }},
              options.notify_size),
      status_at_switch_on_(options.status_at_switch_on)
{
    protocol_.set_card_status(options.card ? card_present : card_absent);
}

void ReaderFirmware::log(const std::string &event, const std::string &detail, const Bytes &data)
{
    log_.add(event, source_, detail, data);
}

void ReaderFirmware::log_write(int number, const Bytes &value)
{
    log(number == indication_characteristic ? "indication" : "write", std::to_string(number), value);
}

void ReaderFirmware::write(int number, const Bytes &value) { tunnel_.write(number, value); }

void ReaderFirmware::read_header(ReaderTunnel::HeaderReply reply) { tunnel_.read_header(std::move(reply)); }

void ReaderFirmware::notifications_switched(int number, bool on)
{
    if (number != status_characteristic)
        return;
    // The reader reports its card status as soon as the host listens, or,
    // built on BlueZ, only when the switch was off.
    const bool was_on = std::exchange(status_switch_on_, on);
    if (on && (!was_on || !status_at_switch_on_))
        hooks_.notify(status_characteristic, status_value());
}

void ReaderFirmware::link_lost()
{
    tunnel_.reset();
    protocol_.end_session();
}

Bytes ReaderFirmware::status_value() const { return {card_status_report, protocol_.card_status()}; }

void ReaderFirmware::set_card_status(std::uint8_t status)
{
    protocol_.set_card_status(status);
    log("card-status", std::to_string(status));
    hooks_.notify(status_characteristic, status_value());
}

void ReaderFirmware::forget_keys()
{
    log("forget-keys");
    keys_.forget(address_);
}

} // namespace pemra_sim
