#include "tunnel/pemra_tunnel_service.h"

#include <giomm/error.h>
#include <glibmm/main.h>

#include <algorithm>
#include <cstdio>

#include "bluez/diagnostics.h"
#include "tunnel/uncaught_error.h"

namespace {

constexpr int reply_fragments = 4;
constexpr int reader_status = 8;
// Without these the tunnel cannot carry a transfer; 5 and 6 are unused.
constexpr int required_characteristics[] = {1, 2, 3, 4, 7, 8, 9};
constexpr std::size_t initial_chunk_size = 20;

// Paths or proxies, by number.
template <typename Entries> bool has_required_characteristics(const Entries &entries)
{
    return std::ranges::all_of(required_characteristics,
                               [&](int number) { return static_cast<bool>(entries[static_cast<std::size_t>(number)]); });
}

// One pass of switching notifications on, 4 before 8. A failure ends the
// pass: after a failure on 4, 8 waits for the next pass. A characteristic
// switched on in an earlier pass counts as notifying, though the proxy's
// cache has not heard of it yet.
void start_notifications(const PemraTunnelService::Characteristics &chars, std::array<bool, 2> &started)
{
    const int numbers[] = {reply_fragments, reader_status};
    for (std::size_t i = 0; i < started.size(); ++i) {
        const auto &characteristic = chars[static_cast<std::size_t>(numbers[i])];
        if (started[i] || characteristic->get_notifying())
            continue;
        try {
            characteristic->start_notify();
            started[i] = true;
        } catch (const Glib::Error &error) {
            std::fprintf(stderr, "Exception staring notifications: %s\n", error.what());
            return;
        }
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
    chars_[reader_status]->signal_properties_changed().connect([weak](const Glib::VariantBase &) {
        if (auto tunnel = weak.lock())
            tunnel->noti8_recv();
    });
    dev_->signal_properties_changed().connect([weak](const Glib::VariantBase &changed) {
        if (auto tunnel = weak.lock())
            tunnel->devprop_changed(changed);
    });
    // A BlueZ that left the bus says nothing more about Connected; one that
    // comes back knows neither the notifications nor the request under way.
    dev_->signal_bluez_gone().connect([weak] {
        if (auto tunnel = weak.lock()) {
            print_out("bluez gone\n");
            tunnel->link_changed(false);
        }
    });
}

// bluetoothd keeps a client's notification sessions across a link loss and
// enables them again by itself at the next connection, before it reports the
// services resolved: the reader reported its status then, before this tunnel
// existed, and asking again reports nothing. BlueZ keeps that report as the
// characteristic's Value, which is taken as a notification, from the main
// loop, once the session listens.
void PemraTunnelService::report_kept_status()
{
    Glib::signal_idle().connect_once([weak = weak_from_this()] {
        if (auto tunnel = weak.lock())
            tunnel->noti8_recv();
    });
}

PemraTunnelService::~PemraTunnelService()
{
    signal_status_received.clear();
    signal_disconnected.clear();
    print_out("tunnel service destruction\n");
    silence_timer_.disconnect();
    settle_timer_.disconnect();
}

void PemraTunnelService::noti4_recv(const Glib::VariantBase &changed)
{
    if (!changes_value(changed))
        return;
    if (!receive_.waiting()) {
        // No transfer wants it: dropped, but a link that settles is not
        // quiet yet.
        if (settling_)
            settle_link();
        return;
    }
    const Bytes value = chars_[reply_fragments]->get_value();
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
    }
}

void PemraTunnelService::noti8_recv()
{
    const Bytes value = chars_[reader_status]->get_value();
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
    auto continuation = receive_.take_continuation();
    if (!continuation)
        return;
    Glib::signal_idle().connect_once([continuation = std::move(continuation), wake] { continuation(wake); });
}

void PemraTunnelService::restart_silence_timer()
{
    silence_timer_.disconnect();
    silence_timer_ = Glib::signal_timeout().connect(
        [this] {
            resume(Wake::Silence);
            return false;
        },
        static_cast<unsigned>(silence_bound_.count()));
}

void PemraTunnelService::mark_reply_unusable() { settle_link(); }

void PemraTunnelService::settle_link()
{
    settling_ = true;
    settle_timer_.disconnect();
    settle_timer_ = Glib::signal_timeout().connect(
        [this] {
            settling_ = false;
            start_next_transfer();
            return false;
        },
        static_cast<unsigned>(settle_time.count()));
}

void PemraTunnelService::run_when_free(std::function<void()> start)
{
    pending_transfers_.push_back(std::move(start));
    start_next_transfer();
}

void PemraTunnelService::start_next_transfer()
{
    if (transfer_under_way_ || settling_ || pending_transfers_.empty())
        return;
    auto start = std::move(pending_transfers_.front());
    pending_transfers_.pop_front();
    transfer_under_way_ = true;
    start();
}

void PemraTunnelService::end_transfer(bool reply_was_whole)
{
    transfer_under_way_ = false;
    if (!reply_was_whole)
        settle_link();
    start_next_transfer();
}
