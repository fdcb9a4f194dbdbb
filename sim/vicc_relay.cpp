#include "sim/vicc_relay.h"

#include <glibmm/main.h>
#include <giomm/inetaddress.h>
#include <giomm/inetsocketaddress.h>

namespace pemra_sim {

namespace {

constexpr std::uint8_t power_off_command = 0x00;
constexpr std::uint8_t power_on_command = 0x01;
constexpr std::uint8_t reset_command = 0x02;
constexpr std::uint8_t get_atr_command = 0x04;
// vicc answers from Python; a card that takes longer is taken for gone.
constexpr int answer_timeout_s = 10;

} // namespace

ViccRelay::ViccRelay(unsigned port, std::function<void(bool present)> presence)
    : presence_(std::move(presence)), service_(Gio::SocketService::create())
{
    const auto loopback = Gio::InetAddress::create_loopback(Gio::SocketFamily::IPV4);
    Glib::RefPtr<Gio::SocketAddress> bound;
    service_->add_address(Gio::InetSocketAddress::create(loopback, static_cast<guint16>(port)),
                          Gio::Socket::Type::STREAM, Gio::Socket::Protocol::TCP, bound);
    service_->signal_incoming().connect(
        [this](const Glib::RefPtr<Gio::SocketConnection> &connection, const Glib::RefPtr<Glib::Object> &) {
            return accept(connection);
        },
        false);
    service_->start();
}

ViccRelay::~ViccRelay()
{
    hang_up_.disconnect();
    service_->stop();
}

bool ViccRelay::accept(const Glib::RefPtr<Gio::SocketConnection> &connection)
{
    if (connection_)
        return false; // one card per slot
    connection_ = connection;
    connection_->get_socket()->set_timeout(answer_timeout_s);
    // vicc speaks only when asked, and answers are read at once: input
    // between exchanges is the end of the connection.
    hang_up_ = Glib::signal_io().connect(
        [this](Glib::IOCondition) {
            drop();
            return false;
        },
        connection_->get_socket()->get_fd(), Glib::IOCondition::IO_IN | Glib::IOCondition::IO_HUP);
    presence_(true);
    return true;
}

void ViccRelay::drop()
{
    if (!connection_)
        return;
    hang_up_.disconnect();
    connection_->close();
    connection_.reset();
    presence_(false);
}

bool ViccRelay::send(const Bytes &message)
{
    Bytes framed{static_cast<std::uint8_t>(message.size() >> 8), static_cast<std::uint8_t>(message.size() & 0xFF)};
    framed.insert(framed.end(), message.begin(), message.end());
    gsize written = 0;
    try {
        if (connection_ && connection_->get_output_stream()->write_all(framed.data(), framed.size(), written))
            return true;
    } catch (const Glib::Error &) {
    }
    drop();
    return false;
}

std::optional<Bytes> ViccRelay::ask(const Bytes &message)
{
    if (!send(message))
        return std::nullopt;
    try {
        const auto input = connection_->get_input_stream();
        std::uint8_t length[2];
        gsize read = 0;
        if (input->read_all(length, sizeof length, read) && read == sizeof length) {
            Bytes answer(std::size_t{length[0]} << 8 | length[1]);
            if (input->read_all(answer.data(), answer.size(), read) && read == answer.size())
                return answer;
        }
    } catch (const Glib::Error &) {
    }
    drop();
    return std::nullopt;
}

Bytes ViccRelay::power_on()
{
    if (!send({power_on_command}) || !send({reset_command}))
        return {};
    return ask({get_atr_command}).value_or(Bytes{});
}

void ViccRelay::power_off() { send({power_off_command}); }

Bytes ViccRelay::process(std::span<const std::uint8_t> apdu)
{
    return ask(Bytes(apdu.begin(), apdu.end())).value_or(Bytes{});
}

} // namespace pemra_sim
