// A relay to vsmartcard's virtual card (vicc): vicc connects to the port as
// it would to vpcd, and the messages are vpcd's: a 2-byte big-endian length,
// then 1 byte (00 power off, 01 power on, 02 reset, 04 get ATR, of which only
// get ATR is answered) or a command APDU (answered with the response APDU).
// While vicc is connected, the card is present; a closed or failing
// connection is a removed card. Only 127.0.0.1 is listened on.
#pragma once

#include <functional>
#include <optional>

#include <giomm/socketconnection.h>
#include <giomm/socketservice.h>

#include "sim/card_backend.h"

namespace pemra_sim {

class ViccRelay : public CardBackend {
public:
    // `presence` learns when vicc comes and goes.
    ViccRelay(unsigned port, std::function<void(bool present)> presence);
    ~ViccRelay() override;

    Bytes power_on() override;
    void power_off() override;
    Bytes process(std::span<const std::uint8_t> apdu) override;

private:
    bool accept(const Glib::RefPtr<Gio::SocketConnection> &connection);
    bool send(const Bytes &message);
    // The answer to `message`, or nothing when vicc is gone.
    std::optional<Bytes> ask(const Bytes &message);
    void drop();

    std::function<void(bool)> presence_;
    Glib::RefPtr<Gio::SocketService> service_;
    Glib::RefPtr<Gio::SocketConnection> connection_;
    sigc::connection hang_up_;
};

} // namespace pemra_sim
