// The framed exchanges over a PemraTunnelService: transfers, chunked sends
// and indications.
#include <algorithm>

#include <giomm/error.h>
#include <glibmm/main.h>

#include "tunnel/pemra_tunnel_service.h"
#include "tunnel/uncaught_error.h"

namespace {

constexpr std::size_t long_length = 1;
constexpr std::size_t long_body = 2;
constexpr std::size_t long_header = 3;
constexpr std::size_t short_request = 7;
constexpr std::size_t indication = 9;

// A message length as the reader reads it: low byte first.
Bytes length_bytes(std::size_t length)
{
    return {static_cast<std::uint8_t>(length & 0xFF), static_cast<std::uint8_t>(length >> 8 & 0xFF)};
}

// One chunked write under way.
struct SendOperation {
    std::shared_ptr<PemraTunnelService> tunnel;
    Bytes data;
    std::size_t chunk_limit;
    std::shared_ptr<GattCharacteristic> characteristic;
    PemraTunnelService::SendCompletion done;
    std::size_t position = 0;

    void complete(const Glib::Error *error)
    {
        if (done)
            done(error);
    }
};

void write_slice(const std::shared_ptr<SendOperation> &send)
{
    const std::size_t end = std::min(send->position + send->chunk_limit, send->data.size());
    const std::span<const std::uint8_t> slice(send->data.data() + send->position, end - send->position);
    send->characteristic->write_value(slice, [send, end](const Glib::Error *error) {
        if (error)
            check_bus_error_domain(*error, __LINE__);
        if (error || end == send->data.size())
            return send->complete(error);
        send->position = end;
        write_slice(send);
    });
}

} // namespace

// One transfer under way: its message until it is written, and its
// completion, which runs once.
struct PemraTunnelService::Transfer {
    std::shared_ptr<PemraTunnelService> tunnel;
    Bytes message;
    TransferCompletion done;

    void complete(const Glib::Error *error, Bytes reply)
    {
        if (auto finished = std::exchange(done, nullptr))
            finished(error, std::move(reply));
    }
};

void PemraTunnelService::transfer(std::span<const std::uint8_t> message, TransferCompletion done)
{
    // The short request is the message and 2 length bytes: with the chunk
    // size of 20, messages of up to 18 bytes fit one write.
    if (message.size() + 1 < chunk_size_)
        transfer3(message, std::move(done));
    else
        transfer2(message, std::move(done));
}

void PemraTunnelService::transfer3(std::span<const std::uint8_t> message, TransferCompletion done)
{
    auto transfer = std::make_shared<Transfer>(Transfer{shared_from_this(), length_bytes(message.size()), std::move(done)});
    transfer->message.insert(transfer->message.end(), message.begin(), message.end());
    run_when_free([transfer] {
        PemraTunnelService &tunnel = *transfer->tunnel;
        tunnel.receive_.prepare(/*header_in_first_fragment=*/true);
        tunnel.wait_for_reply(transfer, reply_header_size);
        // The reply is awaited at once; a request that did not go out ends
        // the wait, as no reply will come.
        tunnel.send(std::move(transfer->message), tunnel.chunk_size_, tunnel.chars_[short_request],
                    [transfer](const Glib::Error *error) {
                        if (error)
                            transfer->tunnel->abandon_wait(*transfer, *error);
                    });
    });
}

void PemraTunnelService::abandon_wait(Transfer &transfer, const Glib::Error &error)
{
    // The reply may have come before the write's answer.
    if (!transfer.done)
        return;
    silence_timer_.disconnect();
    receive_.take_continuation();
    finish_with_error(transfer, error);
}

void PemraTunnelService::transfer2(std::span<const std::uint8_t> message, TransferCompletion done)
{
    auto transfer =
        std::make_shared<Transfer>(Transfer{shared_from_this(), Bytes(message.begin(), message.end()), std::move(done)});
    run_when_free([transfer] { transfer->tunnel->write_length(transfer); });
}

void PemraTunnelService::write_length(const std::shared_ptr<Transfer> &transfer)
{
    chars_[long_length]->write_value(length_bytes(transfer->message.size()), [transfer](const Glib::Error *error) {
        PemraTunnelService &tunnel = *transfer->tunnel;
        if (error) {
            check_bus_error_domain(*error, __LINE__);
            return tunnel.finish_with_error(*transfer, *error);
        }
        tunnel.send(std::move(transfer->message), tunnel.chunk_size_, tunnel.chars_[long_body],
                    [transfer](const Glib::Error *error) {
                        if (error)
                            return transfer->tunnel->finish_with_error(*transfer, *error);
                        transfer->tunnel->read_header(transfer);
                    });
    });
}

void PemraTunnelService::read_header(const std::shared_ptr<Transfer> &transfer)
{
    // Fragments that come before the header has been read are dropped.
    receive_.prepare(/*header_in_first_fragment=*/false);
    chars_[long_header]->read_value([transfer](const Glib::Error *error, Bytes header) {
        PemraTunnelService &tunnel = *transfer->tunnel;
        if (error) {
            check_bus_error_domain(*error, __LINE__);
            return tunnel.finish_with_error(*transfer, *error);
        }
        if (tunnel.receive_.take_header(header) == ReceiveState::Progress::Unusable)
            return tunnel.finish_reply(*transfer, Wake::ReplyUnusable, 0);
        tunnel.wait_for_reply(transfer, 0);
    });
}

void PemraTunnelService::wait_for_reply(const std::shared_ptr<Transfer> &transfer, std::size_t header_size)
{
    receive_.wait([transfer, header_size](Wake wake) { transfer->tunnel->finish_reply(*transfer, wake, header_size); });
    restart_silence_timer();
}

void PemraTunnelService::finish_reply(Transfer &transfer, Wake wake, std::size_t header_size)
{
    // A reader whose link changed sends no more: what arrived is the reply,
    // zeros where fragments are missing. Other wake-ups leave no reply.
    Reassembly reply =
        wake == Wake::ReplyComplete || wake == Wake::LinkChanged ? receive_.reassemble() : Reassembly{};
    if (reply.bytes.size() <= header_size)
        reply.bytes.clear();
    else
        reply.bytes.erase(reply.bytes.begin(), reply.bytes.begin() + static_cast<std::ptrdiff_t>(header_size));
    transfer.complete(nullptr, std::move(reply.bytes));
    end_transfer(wake == Wake::ReplyComplete && reply.whole);
}

void PemraTunnelService::finish_with_error(Transfer &transfer, const Glib::Error &error)
{
    transfer.complete(&error, {});
    end_transfer(false);
}

void PemraTunnelService::send(Bytes data, std::size_t chunk_limit, std::shared_ptr<GattCharacteristic> characteristic,
                              SendCompletion done)
{
    auto send = std::make_shared<SendOperation>(
        SendOperation{shared_from_this(), std::move(data), chunk_limit, std::move(characteristic), std::move(done)});
    if (send->chunk_limit == 0 || !send->characteristic) {
        g_return_if_fail_warning(nullptr, "pemra_tunnel_service_send",
                                 send->chunk_limit == 0 ? "chunk_limit > 0" : "characteristic != NULL");
        Glib::signal_idle().connect_once([send] {
            const Gio::Error invalid(Gio::Error::INVALID_ARGUMENT, "nothing to write with");
            send->complete(&invalid);
        });
        return;
    }
    if (send->data.empty()) {
        Glib::signal_idle().connect_once([send] { send->complete(nullptr); });
        return;
    }
    write_slice(send);
}

void PemraTunnelService::write_indication(std::span<const std::uint8_t> data, IndicationCompletion done)
{
    chars_[indication]->write_value(data, nullptr);
    Glib::signal_idle().connect_once([tunnel = shared_from_this(), done = std::move(done)] {
        if (done)
            done();
    });
}
