#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include <sigc++/signal.h>

#include "bluez/bt_device.h"
#include "bluez/gatt_characteristic.h"
#include "bluez/object_manager_proxy.h"
#include "common/bytes.h"
#include "common/failure.h"
#include "tunnel/characteristic_discovery.h"
#include "tunnel/receive_state.h"
#include "tunnel/transfer_queue.h"

// The driver's link to one Pemra reader at the GATT level: a proxy per
// numbered characteristic and one for the reader's Device1 object, reply
// fragments collected from characteristic 4, card status from
// characteristic 8, and the framed transfers that carry the device
// session's messages. Everything runs on the worker's main loop; every
// completion runs there exactly once, after the start call has returned,
// and the operation keeps the tunnel alive until then.
//
// One transfer runs at a time: a transfer started while another is under
// way, or while the link settles after a reply that went wrong, starts
// when they are over (see TransferQueue).
class PemraTunnelService : public std::enable_shared_from_this<PemraTunnelService> {
public:
    using Characteristics = std::array<std::shared_ptr<GattCharacteristic>, characteristic_slots>;
    // The reply (possibly empty), or why there is none.
    using TransferCompletion = std::function<void(Outcome<Bytes> reply)>;
    using SendCompletion = std::function<void(Done sent)>;
    using IndicationCompletion = std::function<void()>;

    // A waiting transfer that has had no fragment for this long fails. The
    // reader sends nothing while its card works, and on-card key generation
    // (RSA 2048 to 4096) takes from tens of seconds to a few minutes: a
    // silent but connected reader is far more likely a busy card than a
    // dead reader, whose link loss ends the wait at once.
    static constexpr std::chrono::milliseconds default_silence_bound{180000};
    // The longest a transfer may wait for its reply, however its fragments
    // trickle in: the silence bound and the time a whole reply takes.
    static constexpr std::chrono::milliseconds transfer_time_limit{190000};

    // Finds the characteristics of the Pemra service at service_path in
    // BlueZ's objects, makes the proxies (blocking), switches notifications
    // of 4 and 8 on. Nothing when the service lacks one of characteristics
    // 1 to 4 or 7 to 9, or when `conn` is missing. Throws Gio::Error (I/O
    // domain) when a proxy cannot be made.
    static std::shared_ptr<PemraTunnelService> connect_dbus(const Glib::RefPtr<Gio::DBus::Connection> &conn,
                                                            const ManagedObjects &obj_list,
                                                            const std::string &service_path,
                                                            const std::string &device_path);
    // A tunnel over proxies made by the caller, indexed by number (slot 0
    // and unused numbers empty). Nothing without `dev` or without one of
    // characteristics 1 to 4 and 7 to 9.
    static std::shared_ptr<PemraTunnelService> create(Characteristics chars, std::shared_ptr<BTDevice> dev);
    ~PemraTunnelService();
    PemraTunnelService(const PemraTunnelService &) = delete;
    PemraTunnelService &operator=(const PemraTunnelService &) = delete;

    // The reader's Device1 object path.
    std::string device_path;
    // The reader's Bluetooth address, as BlueZ reported it at construction.
    std::optional<std::string> address;

    // Every property change of characteristic 8, with its current value
    // (the reader's status: 01 and the card status); the bytes are valid
    // during the emission only.
    sigc::signal<void(std::span<const std::uint8_t>)> signal_status_received;
    // The reader's Connected property changed to something other than true.
    sigc::signal<void()> signal_disconnected;

    // Sends a message and collects its reply, in the short framing when it
    // fits one write, else in the long one. The message is copied.
    void transfer(std::span<const std::uint8_t> message, TransferCompletion done);
    // One write to characteristic 9 that asks for no acknowledgement from
    // the reader; it completes whatever becomes of it. The bytes are copied
    // before this returns.
    void write_indication(std::span<const std::uint8_t> data, IndicationCompletion done);

    // BlueZ left the bus, and with it the link: it says nothing more about
    // Connected, and one that comes back knows neither the notifications nor
    // the request under way.
    void link_lost() { link_changed(false); }

    // The last reply, though complete, was bad (it did not decrypt): the
    // next transfer waits until the link has settled.
    void mark_reply_unusable();
    // The tunnel's user gives up: the transfer under way and those waiting
    // to start fail with `failure`.
    void abort_transfers(Failure failure);

    // Largest payload of one write; grows with the longest fragment
    // notification seen while a transfer waits, never shrinks.
    std::size_t chunk_size() const { return chunk_size_; }
    // Tests shorten the bounds to see them work.
    void set_silence_bound(std::chrono::milliseconds bound) { silence_bound_ = bound; }
    void set_time_limit(std::chrono::milliseconds limit) { time_limit_ = limit; }

private:
    struct Transfer;
    struct SendOperation;

    PemraTunnelService(Characteristics chars, std::shared_ptr<BTDevice> dev);
    void observe_proxies();
    void report_kept_status();
    void ask_status();

    void noti4_recv(const Glib::VariantBase &changed);
    void noti8_recv();
    void status_received(const Bytes &value);
    void devprop_changed(const Glib::VariantBase &changed);
    // The reader's link changed: a waiting transfer ends, and a link that is
    // not up any more is reported as "disconnected".
    void link_changed(bool connected);

    // Schedules the waiting transfer's continuation from an idle callback.
    void resume(Wake wake);
    void restart_silence_timer();

    // Short framing: length (2 bytes, little-endian) and message in one
    // write to characteristic 7; the reply header starts fragment 0, and
    // its 4 bytes are not part of the reply.
    void transfer_short(std::span<const std::uint8_t> message, TransferCompletion done);
    // Long framing: the length to characteristic 1, the message in chunks
    // to characteristic 2, the reply header read from characteristic 3.
    void transfer_long(std::span<const std::uint8_t> message, TransferCompletion done);
    void run_when_free(const std::shared_ptr<Transfer> &transfer, std::function<void()> start);
    void wait_for_reply(const std::shared_ptr<Transfer> &transfer, std::size_t header_size);
    void write_length(const std::shared_ptr<Transfer> &transfer);
    void read_header(const std::shared_ptr<Transfer> &transfer);
    // Writes a transfer's message to the characteristic in slices of the
    // current chunk size, each after the previous one was acknowledged;
    // fails at the first failed write.
    void send(const std::shared_ptr<Transfer> &transfer, std::shared_ptr<GattCharacteristic> characteristic,
              SendCompletion done);
    static void write_slice(const std::shared_ptr<SendOperation> &send);
    void finish_reply(Transfer &transfer, Wake wake, std::size_t header_size);
    void finish_with(Transfer &transfer, Failure failure);
    // The request of a waiting transfer failed to go out.
    void abandon_wait(Transfer &transfer, Failure failure);
    void end_transfer(bool reply_was_whole);

    Characteristics chars_;
    std::shared_ptr<BTDevice> dev_;
    std::size_t chunk_size_;
    ReceiveState receive_;
    TransferQueue queue_;
    // The transfer under way, for abort_transfers.
    std::weak_ptr<Transfer> current_;

    std::chrono::milliseconds silence_bound_ = default_silence_bound;
    std::chrono::milliseconds time_limit_ = transfer_time_limit;
    sigc::connection silence_timer_;
    sigc::connection time_limit_timer_;
};
