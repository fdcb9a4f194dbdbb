#include "tunnel/pemra_tunnel_service.h"

#include <giomm/error.h>

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "common/diagnostics.h"
#include "common/thread_loop.h"
#include "tunnel/tunnel_characteristics.h"
#include "tunnel/uncaught_error.h"

namespace {

using namespace tunnel_characteristic;

constexpr std::size_t initial_chunk_size = 20;

// Paths or proxies, by number.
template <typename Entries> bool has_required_characteristics(const Entries &entries)
{
    return std::ranges::all_of(required, [&](std::size_t number) { return static_cast<bool>(entries[number]); });
}

// A message length as the reader reads it: low byte first.
Bytes length_bytes(std::size_t length)
{
    return {static_cast<std::uint8_t>(length & 0xFF), static_cast<std::uint8_t>(length >> 8 & 0xFF)};
}

// A BlueZ call of a transfer failed: reported here, passed on as a bus error.
Failure transfer_call_failed(const Glib::Error &error, int line)
{
    check_bus_error_domain(error, line);
    std::fprintf(stderr, "Exception in transfer %s\n", error.what());
    return Failure::BusError;
}

// bluetoothd answers StartNotify of a client whose session is being armed
// again (after a link loss) with InProgress: the session is there.
bool session_being_armed(const Glib::Error &error)
{
    gchar *name = g_dbus_error_get_remote_error(error.gobj());
    const bool in_progress = name != nullptr && std::string_view(name) == "org.bluez.Error.InProgress";
    g_free(name);
    return in_progress;
}

// One pass of switching notifications on, 4 before 8. A failure ends the
// pass: after a failure on 4, 8 waits for the next pass. A characteristic
// switched on in an earlier pass counts as notifying. The driver asks for a
// session of its own even when the characteristic notifies already:
// bluetoothd keeps one per client, answers at once for one that exists (kept
// across a link loss), and another program's session ends when it leaves.
void start_notifications(const PemraTunnelService::Characteristics &chars, std::array<bool, 2> &started)
{
    const std::size_t numbers[] = {reply_fragments, reader_status};
    for (std::size_t i = 0; i < started.size(); ++i) {
        if (started[i])
            continue;
        try {
            chars[numbers[i]]->start_notify();
        } catch (const Glib::Error &error) {
            if (!session_being_armed(error)) {
                std::fprintf(stderr, "Exception staring notifications: %s\n", error.what());
                return;
            }
        }
        started[i] = true;
    }
}

// Values BlueZ notifies arrive as changes of Value; a change of Notifying
// alone carries no fragment.
bool changes_value(const Glib::VariantBase &changed)
{
    GVariant *value = g_variant_lookup_value(const_cast<GVariant *>(changed.gobj()), "Value", nullptr);
    if (value == nullptr)
        return false;
    g_variant_unref(value);
    return true;
}

} // namespace

std::shared_ptr<PemraTunnelService> PemraTunnelService::connect_dbus(const Glib::RefPtr<Gio::DBus::Connection> &conn,
                                                                     const ManagedObjects &obj_list,
                                                                     const std::string &service_path,
                                                                     const std::string &device_path)
{
    if (!conn) {
        g_return_if_fail_warning(nullptr, "pemra_tunnel_service_connect_dbus", "conn != NULL");
        return nullptr;
    }
    const CharacteristicPaths paths = discover_characteristics(obj_list, service_path);
    if (!has_required_characteristics(paths))
        return nullptr;

    Characteristics chars;
    std::shared_ptr<BTDevice> dev;
    bool status_kept = false;
    try {
        for (int number = 1; number < characteristic_slots; ++number) {
            if (const auto &path = paths[static_cast<std::size_t>(number)])
                chars[static_cast<std::size_t>(number)] = std::make_shared<GattCharacteristic>(conn, *path);
        }
        status_kept = chars[reader_status]->get_notifying();
        // Two passes: the second retries what the first could not switch on.
        std::array<bool, 2> started{};
        start_notifications(chars, started);
        start_notifications(chars, started);
        dev = std::make_shared<BTDevice>(conn, device_path);
    } catch (const Gio::Error &) {
        throw;
    } catch (const Glib::Error &error) {
        log_uncaught_error(error, __LINE__);
        return nullptr;
    }
    auto tunnel = create(std::move(chars), std::move(dev));
    tunnel->device_path = device_path;
    if (status_kept)
        tunnel->report_kept_status();
    tunnel->ask_status();
    return tunnel;
}

std::shared_ptr<PemraTunnelService> PemraTunnelService::create(Characteristics chars, std::shared_ptr<BTDevice> dev)
{
    if (!dev || !has_required_characteristics(chars)) {
        g_return_if_fail_warning(nullptr, "pemra_tunnel_service_new", dev ? "chars != NULL" : "dev != NULL");
        return nullptr;
    }
    std::shared_ptr<PemraTunnelService> tunnel(new PemraTunnelService(std::move(chars), std::move(dev)));
    tunnel->observe_proxies();
    return tunnel;
}

PemraTunnelService::PemraTunnelService(Characteristics chars, std::shared_ptr<BTDevice> dev)
    : chars_(std::move(chars)), dev_(std::move(dev)), chunk_size_(initial_chunk_size)
{
    address = dev_->get_address();
}

void PemraTunnelService::observe_proxies()
{
    // The proxies may outlive the tunnel while a call of theirs completes;
    // their observers then find no tunnel.
    std::weak_ptr<PemraTunnelService> weak = weak_from_this();
    chars_[reply_fragments]->signal_properties_changed().connect([weak](const Glib::VariantBase &changed) {
        if (auto tunnel = weak.lock())
            tunnel->noti4_recv(changed);
    });
    // Only a new Value is a report: StartNotify changes Notifying alone.
    chars_[reader_status]->signal_properties_changed().connect([weak](const Glib::VariantBase &changed) {
        if (auto tunnel = weak.lock(); tunnel && changes_value(changed))
            tunnel->noti8_recv();
    });
    dev_->signal_properties_changed().connect([weak](const Glib::VariantBase &changed) {
        if (auto tunnel = weak.lock())
            tunnel->devprop_changed(changed);
    });
}

// Characteristic 8 notified before the driver asked: bluetoothd kept the
// driver's session across a link loss and enabled it again by itself at the
// next connection, before it reported the services resolved, or another
// program holds one. Either way the reader reported its status when its
// notifications were enabled, before this tunnel existed, and asking again
// makes it report nothing. BlueZ keeps that report as the characteristic's
// Value, which is taken as a notification, from the main loop, once the
// session listens.
void PemraTunnelService::report_kept_status()
{
    thread_loop::idle_once([weak = weak_from_this()] {
        if (auto tunnel = weak.lock())
            tunnel->noti8_recv();
    });
}

// The reader's card status as it is now, whatever it reported before. A
// reader reports it when the host switches its notifications on, but
// bluetoothd writes that switch only when its own state changes, and a
// reader built on BlueZ keeps it per host across link losses and restarts:
// after a reconnect or a restart of either bluetoothd, the reader may hear
// no switch-on at all. So the status is read where characteristic 8 allows
// a read; elsewhere this client's notifications of 8 are switched off and on
// again, which bluetoothd writes to the reader where no other program
// listens, and the reader reports at the switch-on.
void PemraTunnelService::ask_status()
{
    const std::shared_ptr<GattCharacteristic> &status = chars_[reader_status];
    if (!status->has_flag("read")) {
        status->restart_notify([](const Glib::Error *error) {
            if (error)
                std::fprintf(stderr, "cannot switch status notifications on anew: %s\n", error->what());
        });
        return;
    }
    status->read_value([weak = weak_from_this()](const Glib::Error *error, const Bytes &value) {
        if (error)
            std::fprintf(stderr, "cannot read the status: %s\n", error->what());
        else if (auto tunnel = weak.lock())
            tunnel->status_received(value);
    });
}

PemraTunnelService::~PemraTunnelService()
{
    signal_status_received.clear();
    signal_disconnected.clear();
    print_out("tunnel service destruction\n");
    silence_timer_.disconnect();
    time_limit_timer_.disconnect();
}

void PemraTunnelService::noti4_recv(const Glib::VariantBase &changed)
{
    if (!changes_value(changed))
        return;
    const Bytes value = chars_[reply_fragments]->get_value();
    if (receive_.waiting())
        chunk_size_ = std::max(chunk_size_, value.size());
    switch (receive_.receive(value)) {
    case ReceiveState::Progress::Complete:
        resume(Wake::ReplyComplete);
        break;
    case ReceiveState::Progress::Unusable:
        resume(Wake::ReplyUnusable);
        break;
    case ReceiveState::Progress::Incomplete:
        restart_silence_timer();
        break;
    case ReceiveState::Progress::NotAwaited:
        // Dropped, but a link that settles is not quiet yet.
        queue_.stray_fragment();
        break;
    }
}

void PemraTunnelService::noti8_recv()
{
    status_received(chars_[reader_status]->get_value());
}

void PemraTunnelService::status_received(const Bytes &value)
{
    std::string hex;
    for (std::uint8_t byte : value) {
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02x", byte);
        hex += digits;
    }
    print_out("status noti: %s\n", hex.c_str());
    signal_status_received.emit(value);
}

void PemraTunnelService::devprop_changed(const Glib::VariantBase &changed)
{
    print_out("changed: %s\n", changed.print(true).c_str());
    GVariant *connected =
        g_variant_lookup_value(const_cast<GVariant *>(changed.gobj()), "Connected", G_VARIANT_TYPE_BOOLEAN);
    if (connected == nullptr)
        return;
    const Glib::VariantBase value(connected);
    print_out("connected: %s\n", value.print(true).c_str());
    link_changed(g_variant_get_boolean(connected));
}

void PemraTunnelService::link_changed(bool connected)
{
    // Whatever the new value: a reader that reconnected has forgotten the
    // request, one that left will send no more.
    if (receive_.waiting())
        resume(Wake::LinkChanged);
    if (!connected)
        signal_disconnected.emit();
}

void PemraTunnelService::resume(Wake wake)
{
    silence_timer_.disconnect();
    time_limit_timer_.disconnect();
    auto continuation = receive_.take_continuation();
    if (!continuation)
        return;
    thread_loop::idle_once([continuation = std::move(continuation), wake] { continuation(wake); });
}

void PemraTunnelService::restart_silence_timer()
{
    silence_timer_.disconnect();
    silence_timer_ = thread_loop::timeout(
        [this] {
            resume(Wake::Silence);
            return false;
        },
        silence_bound_);
}

void PemraTunnelService::mark_reply_unusable() { queue_.settle(); }

void PemraTunnelService::abort_transfers(Failure failure)
{
    queue_.refuse_waiting(failure);
    if (receive_.waiting())
        resume(Wake::Aborted);
    else if (auto transfer = current_.lock())
        finish_with(*transfer, failure);
}

// One transfer under way: its message until it is written, and its
// completion, which runs once.
struct PemraTunnelService::Transfer {
    std::shared_ptr<PemraTunnelService> tunnel;
    Bytes message;
    TransferCompletion done;

    // Not completed yet: an aborted transfer goes no further when one of
    // its bus calls answers afterwards.
    bool live() const { return static_cast<bool>(done); }
    void complete(Outcome<Bytes> reply)
    {
        if (auto finished = std::exchange(done, nullptr))
            finished(std::move(reply));
    }
};

void PemraTunnelService::transfer(std::span<const std::uint8_t> message, TransferCompletion done)
{
    // The short request is the message and 2 length bytes: with the chunk
    // size of 20, messages of up to 18 bytes fit one write.
    if (message.size() + 1 < chunk_size_)
        transfer_short(message, std::move(done));
    else
        transfer_long(message, std::move(done));
}

void PemraTunnelService::transfer_short(std::span<const std::uint8_t> message, TransferCompletion done)
{
    auto transfer = std::make_shared<Transfer>(Transfer{shared_from_this(), length_bytes(message.size()), std::move(done)});
    transfer->message.insert(transfer->message.end(), message.begin(), message.end());
    run_when_free(transfer, [transfer] {
        PemraTunnelService &tunnel = *transfer->tunnel;
        tunnel.receive_.prepare(/*header_in_first_fragment=*/true);
        tunnel.wait_for_reply(transfer, reply_header_size);
        if (tunnel.receive_.copy_may_precede_answer())
            tunnel.chars_[short_request]->ping([transfer] { transfer->tunnel->receive_.bluez_answered(); });
        // The reply is awaited at once; a request that did not go out ends
        // the wait, as no reply will come.
        tunnel.send(transfer, tunnel.chars_[short_request], [transfer](Done sent) {
            if (!sent)
                transfer->tunnel->abandon_wait(*transfer, sent.failure());
        });
    });
}

void PemraTunnelService::transfer_long(std::span<const std::uint8_t> message, TransferCompletion done)
{
    auto transfer =
        std::make_shared<Transfer>(Transfer{shared_from_this(), Bytes(message.begin(), message.end()), std::move(done)});
    run_when_free(transfer, [transfer] { transfer->tunnel->write_length(transfer); });
}

void PemraTunnelService::run_when_free(const std::shared_ptr<Transfer> &transfer, std::function<void()> start)
{
    queue_.submit(
        [this, transfer, start = std::move(start)] {
            current_ = transfer;
            start();
        },
        [transfer](Failure failure) { transfer->complete(failure); });
}

void PemraTunnelService::write_length(const std::shared_ptr<Transfer> &transfer)
{
    chars_[long_length]->write_value(length_bytes(transfer->message.size()), [transfer](const Glib::Error *error) {
        PemraTunnelService &tunnel = *transfer->tunnel;
        tunnel.receive_.bluez_answered();
        if (error)
            return tunnel.finish_with(*transfer, transfer_call_failed(*error, __LINE__));
        if (!transfer->live())
            return;
        tunnel.send(transfer, tunnel.chars_[long_body], [transfer](Done sent) {
            if (!sent)
                return transfer->tunnel->finish_with(*transfer, sent.failure());
            if (transfer->live())
                transfer->tunnel->read_header(transfer);
        });
    });
}

void PemraTunnelService::read_header(const std::shared_ptr<Transfer> &transfer)
{
    // The reader sends its fragments once it has the read, and they may
    // overtake BlueZ's answer to the read (the real bluetoothd does that now
    // and then): they are collected from now on, placed by arrival order,
    // and counted once the header is in.
    receive_.prepare(/*header_in_first_fragment=*/false);
    wait_for_reply(transfer, 0);
    chars_[reply_header]->read_value([transfer](const Glib::Error *error, Bytes header) {
        PemraTunnelService &tunnel = *transfer->tunnel;
        tunnel.receive_.bluez_answered();
        if (error)
            return tunnel.abandon_wait(*transfer, transfer_call_failed(*error, __LINE__));
        if (!transfer->live())
            return;
        switch (tunnel.receive_.take_header(header)) {
        case ReceiveState::Progress::Complete:
            return tunnel.resume(Wake::ReplyComplete);
        case ReceiveState::Progress::Unusable:
            return tunnel.resume(Wake::ReplyUnusable);
        default:
            return;
        }
    });
}

void PemraTunnelService::wait_for_reply(const std::shared_ptr<Transfer> &transfer, std::size_t header_size)
{
    receive_.wait([transfer, header_size](Wake wake) { transfer->tunnel->finish_reply(*transfer, wake, header_size); });
    restart_silence_timer();
    time_limit_timer_.disconnect();
    time_limit_timer_ = thread_loop::timeout(
        [this] {
            resume(Wake::TimeLimit);
            return false;
        },
        time_limit_);
}

namespace {

// Why a wait that ended without a whole reply has none.
Failure failure_of(Wake wake)
{
    switch (wake) {
    case Wake::TimeLimit:
    case Wake::Aborted:
        return Failure::DeadlinePassed;
    default:
        return Failure::NoReply;
    }
}

} // namespace

void PemraTunnelService::finish_reply(Transfer &transfer, Wake wake, std::size_t header_size)
{
    // A reader whose link changed sends no more: what arrived is the reply,
    // zeros where fragments are missing.
    if (wake != Wake::ReplyComplete && wake != Wake::LinkChanged)
        return finish_with(transfer, failure_of(wake));
    Reassembly reply = receive_.reassemble();
    if (reply.bytes.size() <= header_size)
        reply.bytes.clear();
    else
        reply.bytes.erase(reply.bytes.begin(), reply.bytes.begin() + static_cast<std::ptrdiff_t>(header_size));
    transfer.complete(std::move(reply.bytes));
    end_transfer(wake == Wake::ReplyComplete && reply.whole);
}

void PemraTunnelService::finish_with(Transfer &transfer, Failure failure)
{
    // An aborted transfer whose bus call answers afterwards is over already.
    if (!transfer.live())
        return;
    transfer.complete(failure);
    end_transfer(false);
}

void PemraTunnelService::abandon_wait(Transfer &transfer, Failure failure)
{
    // The reply may have come before the write's answer.
    if (!transfer.live())
        return;
    silence_timer_.disconnect();
    time_limit_timer_.disconnect();
    receive_.take_continuation();
    finish_with(transfer, failure);
}

void PemraTunnelService::end_transfer(bool reply_was_whole)
{
    current_.reset();
    queue_.transfer_ended(reply_was_whole);
}

// One chunked write of a transfer's message under way.
struct PemraTunnelService::SendOperation {
    std::shared_ptr<Transfer> transfer;
    Bytes data;
    std::size_t chunk_limit;
    std::shared_ptr<GattCharacteristic> characteristic;
    SendCompletion done;
    std::size_t position = 0;
};

void PemraTunnelService::write_slice(const std::shared_ptr<SendOperation> &send)
{
    const std::size_t end = std::min(send->position + send->chunk_limit, send->data.size());
    const std::span<const std::uint8_t> slice(send->data.data() + send->position, end - send->position);
    send->characteristic->write_value(slice, [send, end](const Glib::Error *error) {
        send->transfer->tunnel->receive_.bluez_answered();
        if (error)
            return send->done(transfer_call_failed(*error, __LINE__));
        if (end == send->data.size())
            return send->done(succeeded());
        // A send of an aborted transfer stops at its next slice.
        if (!send->transfer->live())
            return;
        send->position = end;
        write_slice(send);
    });
}

// The message is never empty: its framing gives it a length at least.
void PemraTunnelService::send(const std::shared_ptr<Transfer> &transfer,
                              std::shared_ptr<GattCharacteristic> characteristic, SendCompletion done)
{
    write_slice(std::make_shared<SendOperation>(SendOperation{transfer, std::move(transfer->message), chunk_size_,
                                                              std::move(characteristic), std::move(done)}));
}

void PemraTunnelService::write_indication(std::span<const std::uint8_t> data, IndicationCompletion done)
{
    chars_[indication]->write_value(data, nullptr);
    thread_loop::idle_once([tunnel = shared_from_this(), done = std::move(done)] {
        if (done)
            done();
    });
}
