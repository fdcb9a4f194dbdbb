#include "device/pemra_device.h"

#include <glib.h>
#include <glibmm/main.h>
#include <openssl/crypto.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "bluez/diagnostics.h"
#include "crypto/key_agreement.h"
#include "tunnel/pemra_tunnel_service.h"

namespace {

// Request codes of the reader's message protocol.
constexpr std::uint8_t key_exchange_request = 0x03;
constexpr std::uint8_t host_name_message = 0x04;
constexpr std::uint8_t descriptor_request = 0x01;
constexpr std::uint8_t time_message = 0x0A;
constexpr std::uint8_t buffer_size_request = 0x10;
constexpr std::uint8_t card_command_code = 0x02;
constexpr std::uint8_t card_reset = 0x01;
constexpr std::uint8_t card_shutdown = 0x04;
constexpr std::uint8_t card_apdu = 0x05;

constexpr std::uint8_t reply_ok = 0x00;
// Reply to the session-key request: one byte not examined, then the reader's
// 16-byte random value and 4-byte nonce part.
constexpr std::size_t session_key_reply_size = 1 + pemra_crypto_key_response_size;
constexpr std::size_t key_exchange_reply_size = 1 + pemra_crypto_x25519_size;
// Reader message sizes up to this leave no room worth using: the default stays.
constexpr std::size_t smallest_useful_message_size = 270;
constexpr std::size_t card_command_header = 2;

// Indications: the reader's answers are not awaited.
constexpr std::uint8_t new_key_indication[] = {0x07};
constexpr std::uint8_t key_refused_indication[] = {0x08};
constexpr std::uint8_t setup_done_indication[] = {0x01, 0x00};

constexpr std::size_t host_name_buffer = 80;

Bytes host_name_request()
{
    char name[host_name_buffer] = {};
    gethostname(name, sizeof name - 1);
    Bytes request(name, name + strnlen(name, sizeof name - 1));
    request.insert(request.begin(), host_name_message);
    return request;
}

} // namespace

std::shared_ptr<PemraDevice> PemraDevice::create(std::shared_ptr<PemraTunnelService> ts)
{
    if (!ts) {
        g_return_if_fail_warning(nullptr, "pemra_device_new", "ts != NULL");
        return nullptr;
    }
    std::shared_ptr<PemraDevice> device(new PemraDevice(std::move(ts)));
    device->start_setup_timer();
    return device;
}

PemraDevice::PemraDevice(std::shared_ptr<PemraTunnelService> ts) : devpath(ts->device_path), ts_(std::move(ts))
{
    if (auto path = ltk_path(ts_->address.value_or(""))) {
        if (auto key = read_ltk(*path)) {
            ltk_ = *key;
            has_ltk = true;
        }
    }
    // Disconnected again at destruction: the tunnel may outlive the session.
    status_connection_ = ts_->signal_status_received.connect(sigc::mem_fun(*this, &PemraDevice::status_recv));
    disconnect_connection_ = ts_->signal_disconnected.connect(sigc::mem_fun(*this, &PemraDevice::forward_disconnect));
}

PemraDevice::~PemraDevice()
{
    status_connection_.disconnect();
    disconnect_connection_.disconnect();
    print_out("destroying pemra\n");
    OPENSSL_cleanse(ltk_.data(), ltk_.size());
    OPENSSL_cleanse(session_key_.data(), session_key_.size());
}

void PemraDevice::start_setup_timer()
{
    Glib::signal_timeout().connect_once(
        [self = shared_from_this()] {
            start_task<bool>(self->init_pemra(), [self](bool succeeded) { self->ready = succeeded; });
        },
        setup_delay_ms);
}

Task<bool> PemraDevice::init_pemra()
{
    if (!co_await init_encryption())
        co_return false;

    Bytes host_name = host_name_request();
    if ((co_await rpc(host_name, true)).empty()) {
        // The reader may have forgotten our key: agree a new one.
        has_ltk = false;
        if (!co_await init_encryption())
            co_return false;
        co_await rpc(host_name, true);
    }

    Bytes reply = co_await rpc(Bytes(1, descriptor_request), true);
    if (reply.size() > 1 && reply[0] == reply_ok)
        descriptor.assign(reply.begin() + 1, reply.end());

    co_await rpc(get_time(std::time(nullptr)), true);

    reply = co_await rpc(Bytes(1, buffer_size_request), true);
    if (reply.size() == 3 && reply[0] == reply_ok) {
        std::size_t size = reply[1] | reply[2] << 8;
        if (size > smallest_useful_message_size)
            max_rpc_size = size - (pemra_crypto_get_encrypted_size(size) - size);
    }

    write_indication(std::span(setup_done_indication));
    if (unusable_)
        co_return false;
    ready = true;
    if (card_status != 0)
        signal_card_status_changed.emit(card_status);
    co_return true;
}

Task<bool> PemraDevice::init_encryption()
{
    if (!has_ltk) {
        co_await key_exchange();
        if (!has_ltk)
            co_return false;
    }
    Bytes reply = co_await request_session_key();
    if (reply.empty())
        co_return false;
    if (reply.size() == session_key_reply_size)
        co_return take_session_key(reply);
    if (reply[0] == key_exchange_request) {
        // The reader refuses to start a session with this host.
        write_indication(std::span(key_refused_indication));
        co_return false;
    }
    co_await key_exchange();
    if (!has_ltk)
        co_return false;
    reply = co_await request_session_key();
    co_return reply.size() == session_key_reply_size && take_session_key(reply);
}

Task<Bytes> PemraDevice::request_session_key()
{
    std::array<std::uint8_t, pemra_crypto_key_request_size> request;
    // A failed random source would put a predictable session key on the air.
    if (!pemra_crypto_generate_key_request(nonce_, session_key_, request))
        co_return Bytes();
    co_return co_await rpc(Bytes(request.begin(), request.end()), false);
}

bool PemraDevice::take_session_key(const Bytes &reply)
{
    if (!pemra_crypto_process_key_response(nonce_, session_key_, ltk_, std::span(reply).subspan(1)))
        return false;
    needs_rekey_ = false;
    return true;
}

Task<std::monostate> PemraDevice::key_exchange()
{
    std::array<std::uint8_t, pemra_crypto_x25519_size> public_key, private_key, base_point;
    bool generated = pemra_crypto_generate_key_exchange(public_key, private_key, base_point);
    Bytes reply;
    if (generated) {
        Bytes request = {key_exchange_request};
        request.insert(request.end(), base_point.begin(), base_point.end());
        request.insert(request.end(), public_key.begin(), public_key.end());
        reply = co_await rpc(std::move(request), false);
    }
    LongTermKey shared;
    if (reply.size() == key_exchange_reply_size && reply[0] == reply_ok &&
        pemra_crypto_got_key_exchange_response(std::span(reply).subspan(1), private_key, shared)) {
        ltk_ = shared;
        write_indication(std::span(new_key_indication));
        save_ltk();
        has_ltk = true;
    }
    OPENSSL_cleanse(private_key.data(), private_key.size());
    OPENSSL_cleanse(shared.data(), shared.size());
    co_return std::monostate();
}

void PemraDevice::save_ltk()
{
    // An address that is no Bluetooth address names no file: the key then
    // lives for this session only.
    if (auto path = ltk_path(ts_->address.value_or("")))
        ::save_ltk(*path, ltk_);
}

Bytes PemraDevice::get_time(std::time_t now)
{
    std::tm local{};
    localtime_r(&now, &local);
    unsigned minutes = local.tm_wday * 1440 + local.tm_hour * 60 + local.tm_min;
    return {time_message, static_cast<std::uint8_t>(minutes & 0xFF), static_cast<std::uint8_t>(minutes >> 8)};
}

std::size_t PemraDevice::rpc_limit() const
{
    return max_rpc_size > 0 ? max_rpc_size : default_rpc_limit;
}

Task<Bytes> PemraDevice::rpc(Bytes message, bool encrypt)
{
    if (message.size() > rpc_limit())
        co_return Bytes();
    if (!encrypt)
        co_return co_await transfer(std::move(message));

    if (needs_rekey_ && !unusable_ && !co_await init_encryption()) {
        // No shared counter with the reader any more: useless until it
        // reconnects and a new session starts.
        unusable_ = true;
        ready = false;
    }
    if (unusable_)
        co_return Bytes();
    Bytes frame(pemra_crypto_get_encrypted_size(message.size()));
    if (!pemra_crypto_encrypt_buf(message, frame, session_key_, nonce_)) {
        needs_rekey_ = true;
        co_return Bytes();
    }
    co_return decrypt_reply(co_await transfer(std::move(frame)));
}

Bytes PemraDevice::decrypt_reply(Bytes reply)
{
    std::size_t plaintext = reply.empty() ? 0 : pemra_crypto_decrypt_buf(reply, session_key_, nonce_);
    if (plaintext == 0) {
        // The reader's counter and ours may now differ, and the rest of a
        // bad reply may still be on its way.
        needs_rekey_ = true;
        ts_->mark_reply_unusable();
        return Bytes();
    }
    reply.resize(plaintext);
    return reply;
}

Task<Bytes> PemraDevice::transfer(Bytes message)
{
    struct Outcome {
        std::optional<std::string> error;
        Bytes reply;
    };
    std::shared_ptr<PemraTunnelService> ts = ts_;
    Completion<Outcome> transferred([ts, &message](auto resume) {
        ts->transfer(message, [resume](const Glib::Error *error, Bytes reply) {
            resume(error ? Outcome{error->what(), {}} : Outcome{std::nullopt, std::move(reply)});
        });
    });
    Outcome outcome = co_await transferred;
    if (outcome.error) {
        std::fprintf(stderr, "Exception in transfer %s\n", outcome.error->c_str());
        co_return Bytes();
    }
    co_return std::move(outcome.reply);
}

void PemraDevice::write_indication(std::span<const std::uint8_t> bytes)
{
    ts_->write_indication(bytes, {});
}

void PemraDevice::write_rpc(std::span<const std::uint8_t> message, bool encrypt, BytesCompletion done)
{
    start_task<Bytes>(rpc(Bytes(message.begin(), message.end()), encrypt),
                      [self = shared_from_this(), done = std::move(done)](Bytes reply) { done(std::move(reply)); });
}

Task<Bytes> PemraDevice::run_card_command(Bytes request)
{
    Bytes reply = co_await rpc(std::move(request), true);
    if (reply.empty() || reply[0] != reply_ok)
        co_return Bytes();
    co_return Bytes(reply.begin() + 1, reply.end());
}

void PemraDevice::reset_card(BytesCompletion done)
{
    start_task<Bytes>(run_card_command({card_command_code, card_reset}),
                      [self = shared_from_this(), done = std::move(done)](Bytes atr) { done(std::move(atr)); });
}

void PemraDevice::write_apdu(std::span<const std::uint8_t> apdu, BytesCompletion done)
{
    Bytes request = {card_command_code, card_apdu};
    request.insert(request.end(), apdu.begin(), apdu.end());
    start_task<Bytes>(run_card_command(std::move(request)),
                      [self = shared_from_this(), done = std::move(done)](Bytes response) { done(std::move(response)); });
}

void PemraDevice::shutdown(std::function<void()> done)
{
    // The reader's answer is not examined.
    start_task<Bytes>(rpc({card_command_code, card_shutdown}, true),
                      [self = shared_from_this(), done = std::move(done)](Bytes) { done(); });
}

int PemraDevice::get_max_apdu_size() const
{
    return max_rpc_size > 0 ? static_cast<int>(max_rpc_size - card_command_header) : 0;
}

std::optional<std::string> PemraDevice::get_ieee() const
{
    return ts_->address;
}

void PemraDevice::status_recv(std::span<const std::uint8_t> notification)
{
    constexpr std::uint8_t card_status_kind = 0x01;
    if (notification.size() < 2 || notification[0] != card_status_kind)
        return;
    card_status = notification[1];
    // Before the set-up ends the status is only kept; the set-up signals it.
    if (ready)
        signal_card_status_changed.emit(card_status);
}

void PemraDevice::forward_disconnect()
{
    signal_disconnected.emit();
}
