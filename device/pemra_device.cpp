#include "device/pemra_device.h"

#include <glib.h>
#include <openssl/crypto.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "common/diagnostics.h"
#include "common/reader_messages.h"
#include "common/thread_loop.h"
#include "crypto/key_agreement.h"
#include "tunnel/pemra_tunnel_service.h"

namespace {

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

// An operation that never starts still completes, from the main loop.
void refuse_later(std::function<void(Failure)> refuse, Failure failure)
{
    thread_loop::idle_once([refuse = std::move(refuse), failure] { refuse(failure); });
}

Bytes host_name_request()
{
    char name[host_name_buffer] = {};
    gethostname(name, sizeof name - 1);
    Bytes request(name, name + strnlen(name, sizeof name - 1));
    request.insert(request.begin(), reader_message::host_name);
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
    thread_loop::timeout_once(
        [self = shared_from_this()] {
            self->run_in_turn<bool>(self->init_pemra(), [self](bool succeeded) {
                self->ready = succeeded;
                self->signal_setup_finished.emit(succeeded);
            });
        },
        setup_delay);
}

template <typename T> PemraDevice::Operation PemraDevice::operation(Task<T> task, std::function<void(T)> done)
{
    auto waiting = std::make_shared<Task<T>>(std::move(task));
    return {[self = shared_from_this(), waiting, done] {
                start_task<T>(std::move(*waiting), [self, done](T result) {
                    done(std::move(result));
                    self->operation_ended();
                });
            },
            std::nullopt, nullptr};
}

template <typename T> void PemraDevice::run_in_turn(Task<T> task, std::function<void(T)> done)
{
    enqueue(operation<T>(std::move(task), std::move(done)));
}

void PemraDevice::serve_in_turn(Task<Outcome<Bytes>> task, Deadline due, ReplyCompletion done)
{
    Operation serving = operation<Outcome<Bytes>>(std::move(task), done);
    serving.due = due;
    serving.refuse = [done](Failure failure) { done(failure); };
    enqueue(std::move(serving));
}

void PemraDevice::enqueue(Operation operation)
{
    operations_.push_back(std::move(operation));
    start_next_operation();
}

void PemraDevice::start_next_operation()
{
    while (!operation_under_way_ && !operations_.empty()) {
        Operation next = std::move(operations_.front());
        operations_.pop_front();
        // Nobody waits for it any more (the worker was held meanwhile): it
        // never reaches the reader.
        if (next.due && std::chrono::steady_clock::now() >= *next.due) {
            refuse_later(std::move(next.refuse), Failure::DeadlinePassed);
            continue;
        }
        operation_under_way_ = true;
        due_under_way_ = next.due;
        next.start();
    }
}

void PemraDevice::operation_ended()
{
    operation_under_way_ = false;
    due_under_way_.reset();
    start_next_operation();
}

Task<bool> PemraDevice::init_pemra()
{
    const bool encrypting = co_await init_encryption();
    if (!encrypting)
        co_return false;

    Bytes host_name_message = host_name_request();
    const Outcome<Bytes> host_name_reply = co_await rpc(host_name_message, true);
    if (!host_name_reply) {
        // The reader may have forgotten our key: agree a new one.
        has_ltk = false;
        const bool encrypting_anew = co_await init_encryption();
        if (!encrypting_anew)
            co_return false;
        co_await rpc(host_name_message, true);
    }

    Outcome<Bytes> reply = co_await rpc(Bytes(1, reader_message::descriptor), true);
    if (reply && reply->size() > 1 && (*reply)[0] == reader_message::reply_ok)
        descriptor.assign(reply->begin() + 1, reply->end());

    co_await rpc(get_time(std::time(nullptr)), true);

    reply = co_await rpc(Bytes(1, reader_message::buffer_size), true);
    if (reply && reply->size() == 3 && (*reply)[0] == reader_message::reply_ok) {
        std::size_t size = (*reply)[1] | (*reply)[2] << 8;
        if (size > smallest_useful_message_size)
            max_rpc_size = size - (pemra_crypto_get_encrypted_size(size) - size);
    }

    write_indication(std::span(setup_done_indication));
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
    Outcome<Bytes> reply = co_await request_session_key();
    if (!reply || reply->empty())
        co_return false;
    if (reply->size() == session_key_reply_size)
        co_return take_session_key(*reply);
    if ((*reply)[0] == reader_message::key_exchange) {
        // The reader refuses to start a session with this host.
        write_indication(std::span(key_refused_indication));
        co_return false;
    }
    co_await key_exchange();
    if (!has_ltk)
        co_return false;
    reply = co_await request_session_key();
    co_return reply && reply->size() == session_key_reply_size && take_session_key(*reply);
}

Task<Outcome<Bytes>> PemraDevice::request_session_key()
{
    std::array<std::uint8_t, pemra_crypto_key_request_size> request;
    // A failed random source would put a predictable session key on the air.
    if (!pemra_crypto_generate_key_request(nonce_, session_key_, request))
        co_return Failure::Refused;
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
    Outcome<Bytes> reply = Failure::Refused;
    if (pemra_crypto_generate_key_exchange(public_key, private_key, base_point)) {
        Bytes request = {reader_message::key_exchange};
        request.insert(request.end(), base_point.begin(), base_point.end());
        request.insert(request.end(), public_key.begin(), public_key.end());
        reply = co_await rpc(std::move(request), false);
    }
    LongTermKey shared;
    if (reply && reply->size() == key_exchange_reply_size && (*reply)[0] == reader_message::reply_ok &&
        pemra_crypto_got_key_exchange_response(std::span(*reply).subspan(1), private_key, shared)) {
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

Task<bool> PemraDevice::rekey_if_needed()
{
    if (!needs_rekey_)
        co_return true;
    // Asked again when the pause is over, not by every request meanwhile.
    if (rekey_retry_.waiting())
        co_return false;
    const bool encrypting = co_await init_encryption();
    if (encrypting) {
        rekey_retry_.succeeded();
        co_return true;
    }
    schedule_rekey();
    co_return false;
}

// Without a session key in step with the reader, card status reports still
// reach the slot; the reader works again by itself once it answers.
void PemraDevice::schedule_rekey()
{
    rekey_retry_.schedule([weak = weak_from_this()] {
        if (auto self = weak.lock())
            self->run_in_turn<bool>(self->rekey_if_needed(), [](bool) {});
    });
}

Bytes PemraDevice::get_time(std::time_t now)
{
    std::tm local{};
    localtime_r(&now, &local);
    unsigned minutes = local.tm_wday * 1440 + local.tm_hour * 60 + local.tm_min;
    return {reader_message::time, static_cast<std::uint8_t>(minutes & 0xFF), static_cast<std::uint8_t>(minutes >> 8)};
}

std::size_t PemraDevice::rpc_limit() const
{
    return max_rpc_size > 0 ? max_rpc_size : default_rpc_limit;
}

Task<Outcome<Bytes>> PemraDevice::rpc(Bytes message, bool encrypt)
{
    if (message.size() > rpc_limit())
        co_return Failure::TooLong;
    if (!encrypt)
        co_return co_await transfer(std::move(message));

    const bool in_step = co_await rekey_if_needed();
    if (!in_step)
        co_return Failure::NoSession;
    Bytes frame(pemra_crypto_get_encrypted_size(message.size()));
    // No frame could be sealed: the session is out of step until it is
    // keyed anew.
    if (!pemra_crypto_encrypt_buf(message, frame, session_key_, nonce_)) {
        needs_rekey_ = true;
        co_return Failure::NoSession;
    }
    co_return decrypt_reply(co_await transfer(std::move(frame)));
}

Outcome<Bytes> PemraDevice::decrypt_reply(Outcome<Bytes> reply)
{
    std::size_t plaintext = reply && !reply->empty() ? pemra_crypto_decrypt_buf(*reply, session_key_, nonce_) : 0;
    if (plaintext == 0) {
        // The reader's counter and ours may now differ, and the rest of a
        // bad reply may still be on its way.
        needs_rekey_ = true;
        ts_->mark_reply_unusable();
        return reply ? Failure::BadReply : reply.failure();
    }
    reply->resize(plaintext);
    return reply;
}

Task<Outcome<Bytes>> PemraDevice::transfer(Bytes message)
{
    std::shared_ptr<PemraTunnelService> ts = ts_;
    Completion<Outcome<Bytes>> transferred([ts, &message](auto resume) { ts->transfer(message, resume); });
    co_return co_await transferred;
}

void PemraDevice::write_indication(std::span<const std::uint8_t> bytes)
{
    ts_->write_indication(bytes, {});
}

void PemraDevice::write_rpc(std::span<const std::uint8_t> message, bool encrypt, Deadline due, ReplyCompletion done)
{
    serve_in_turn(rpc(Bytes(message.begin(), message.end()), encrypt), due, std::move(done));
}

Task<Outcome<Bytes>> PemraDevice::run_card_command(Bytes request)
{
    Outcome<Bytes> reply = co_await rpc(std::move(request), true);
    if (!reply)
        co_return reply;
    if (reply->empty() || (*reply)[0] != reader_message::reply_ok)
        co_return Failure::BadReply;
    co_return Bytes(reply->begin() + 1, reply->end());
}

void PemraDevice::reset_card(Deadline due, ReplyCompletion done)
{
    serve_in_turn(run_card_command({reader_message::card_command, reader_message::card_reset}), due, std::move(done));
}

void PemraDevice::write_apdu(std::span<const std::uint8_t> apdu, Deadline due, ReplyCompletion done)
{
    Bytes request = {reader_message::card_command, reader_message::card_apdu};
    request.insert(request.end(), apdu.begin(), apdu.end());
    serve_in_turn(run_card_command(std::move(request)), due, std::move(done));
}

void PemraDevice::shutdown(Deadline due, std::function<void()> done)
{
    // The reader's answer is not examined.
    serve_in_turn(rpc({reader_message::card_command, reader_message::card_shutdown}, true), due,
                  [done = std::move(done)](Outcome<Bytes>) { done(); });
}

void PemraDevice::cancel(Deadline due, Failure failure)
{
    const auto given_up = [due](const Operation &waiting) { return waiting.due && *waiting.due <= due; };
    for (Operation &waiting : operations_) {
        if (given_up(waiting))
            refuse_later(std::move(waiting.refuse), failure);
    }
    std::erase_if(operations_, given_up);
    // The transfers under way and waiting are all the operation's own.
    if (due_under_way_ && *due_under_way_ <= due)
        ts_->abort_transfers(failure);
}

void PemraDevice::link_lost()
{
    ts_->link_lost();
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
    if (notification.size() < 2 || notification[0] != reader_message::card_status_report)
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
