// What a Pemra reader does, whoever carries its GATT service: its message
// protocol with the card, its end of the tunnel, its card status and the
// host's switch of its status notifications, its fault switches and its
// log. The stand-in's reader (sim/reader.*) sits behind a simulated
// bluetoothd, the peripheral (sim/peripheral.*) behind a real one.
#pragma once

#include <functional>
#include <string>

#include "sim/faults.h"
#include "sim/reader_options.h"
#include "sim/reader_protocol.h"
#include "sim/reader_tunnel.h"

namespace pemra_sim {

class EventLog;
class KeyStore;

class ReaderFirmware {
public:
    struct Hooks {
        // A notification on characteristic 4 or 8, for the host if it listens.
        std::function<void(int number, const Bytes &value)> notify;
        // The reader drops the link, behind what it notified before.
        std::function<void()> disconnect;
    };

    // `source`: the object the log names for this reader.
    ReaderFirmware(const ReaderOptions &options, KeyStore &keys, EventLog &log, std::string source, Hooks hooks);
    ReaderFirmware(const ReaderFirmware &) = delete;
    ReaderFirmware &operator=(const ReaderFirmware &) = delete;

    Faults &faults() { return faults_; }
    // The host at the other end of the link: the address of its adapter,
    // under which the reader keeps the long-term key it agreed with it.
    void set_host(std::string address) { host_ = std::move(address); }

    // A write that reached characteristic 1, 2, 7 or 9.
    void write(int number, const Bytes &value);
    // A read of characteristic 3: `reply` answers it, then fragments follow.
    void read_header(ReaderTunnel::HeaderReply reply);
    // The host switched the notifications of characteristic `number` on or off.
    void notifications_switched(int number, bool on);
    // The link is gone: half-received requests and unsent replies with it,
    // the session key and the card's power.
    void link_lost();

    // The card status as characteristic 8 carries it: 01 and the status.
    Bytes status_value() const;
    // Reported on characteristic 8.
    void set_card_status(std::uint8_t status);
    // Another card in the slot (nothing: the built-in card again).
    void use_card(CardBackend *card) { protocol_.use_card(card); }
    void forget_keys();

    // Bytes per notification, the prefix byte included.
    void set_notify_size(std::size_t size) { tunnel_.set_notify_size(size); }
    std::size_t notify_size() const { return tunnel_.notify_size(); }

    void log(const std::string &event, const std::string &detail = {}, const Bytes &data = {});
    // A write as the log shows it: "indication" on characteristic 9,
    // "write" elsewhere.
    void log_write(int number, const Bytes &value);

private:
    KeyStore &keys_;
    EventLog &log_;
    std::string address_;
    std::string source_;
    Hooks hooks_;
    Faults faults_;
    ReaderProtocol protocol_;
    ReaderTunnel tunnel_;
    std::string host_;
    bool status_at_switch_on_;
    // The host's switch of characteristic 8's notifications, as the reader
    // keeps it.
    bool status_switch_on_ = false;
};

} // namespace pemra_sim
