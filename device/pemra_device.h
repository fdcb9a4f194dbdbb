#pragma once

#include <sigc++/signal.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>

#include "common/backoff.h"
#include "crypto/link_crypto.h"
#include "device/ltk_file.h"
#include "device/pemra_session.h"
#include "device/task.h"

class PemraTunnelService;

// The driver's session with one connected reader: the set-up handshake (keys,
// host name, descriptor, time, message size), the encrypted message exchange
// and the card operations. It owns the reader's tunnel.
//
// Operations run one after the other, never interleaved: the frame counter is
// shared by both directions, so one exchange at a time.
class PemraDevice : public PemraSession, public std::enable_shared_from_this<PemraDevice> {
public:
    // The set-up starts this long after the session is made.
    static constexpr std::chrono::milliseconds setup_delay{1000};
    // Largest plaintext message while the reader has reported no usable size.
    static constexpr std::size_t default_rpc_limit = 320;
    // A reader that will not start the encryption anew is asked again after
    // a pause that doubles up to this.
    static constexpr std::chrono::milliseconds first_rekey_pause{1000};
    static constexpr std::chrono::milliseconds rekey_pause_limit{8000};

    // Reads the reader's long-term key file and schedules the set-up.
    static std::shared_ptr<PemraDevice> create(std::shared_ptr<PemraTunnelService> ts);
    ~PemraDevice() override;

    int card_status = 0;
    bool ready = false;
    Bytes descriptor;
    bool has_ltk = false;
    std::string devpath;
    std::size_t max_rpc_size = 0;

    // "card-status-changed" (the status now in force) and "disconnected".
    sigc::signal<void(int)> signal_card_status_changed;
    sigc::signal<void()> signal_disconnected;
    // The set-up has ended; whether it succeeded.
    sigc::signal<void(bool)> signal_setup_finished;

    // One request/reply exchange: size limit, optional encryption, one
    // transfer, decryption.
    void write_rpc(std::span<const std::uint8_t> message, bool encrypt, Deadline due, ReplyCompletion done) override;

    void reset_card(Deadline due, ReplyCompletion done) override;
    void write_apdu(std::span<const std::uint8_t> apdu, Deadline due, ReplyCompletion done) override;
    void shutdown(Deadline due, std::function<void()> done) override;
    void cancel(Deadline due, Failure failure) override;
    void link_lost() override;

    // max_rpc_size less the 2-byte card command header; 0 while unknown.
    int get_max_apdu_size() const;
    std::optional<std::string> get_ieee() const override;

    bool is_ready() const override { return ready; }
    const std::string &device_path() const override { return devpath; }
    std::span<const std::uint8_t> descriptor_bytes() const override { return descriptor; }

    // The 3-byte time message: minutes since Sunday 00:00, local time.
    static Bytes get_time(std::time_t now);

private:
    explicit PemraDevice(std::shared_ptr<PemraTunnelService> ts);
    void start_setup_timer();

    // An operation: how it starts, and for one that serves a request, when
    // that request is due and how it ends without starting.
    struct Operation {
        std::function<void()> start;
        std::optional<Deadline> due;
        std::function<void(Failure)> refuse;
    };
    template <typename T> Operation operation(Task<T> task, std::function<void(T)> done);
    // Runs the task once the operations before it are over.
    template <typename T> void run_in_turn(Task<T> task, std::function<void(T)> done);
    // The same for a request due at `due`: not started once it is past due.
    void serve_in_turn(Task<Outcome<Bytes>> task, Deadline due, ReplyCompletion done);
    void enqueue(Operation operation);
    void start_next_operation();
    void operation_ended();

    Task<bool> init_pemra();
    Task<bool> init_encryption();
    Task<Outcome<Bytes>> request_session_key();
    bool take_session_key(const Bytes &reply);
    Task<std::monostate> key_exchange();
    void save_ltk();

    // Starts the encryption anew when an exchange left the frame counters
    // out of step; a reader that refuses is asked again after a pause, by
    // itself.
    Task<bool> rekey_if_needed();
    void schedule_rekey();

    Task<Outcome<Bytes>> rpc(Bytes message, bool encrypt);
    Task<Outcome<Bytes>> transfer(Bytes message);
    Task<Outcome<Bytes>> run_card_command(Bytes request);
    std::size_t rpc_limit() const;
    Outcome<Bytes> decrypt_reply(Outcome<Bytes> reply);
    void write_indication(std::span<const std::uint8_t> bytes);

    void status_recv(std::span<const std::uint8_t> notification);
    void forward_disconnect();

    std::shared_ptr<PemraTunnelService> ts_;
    LongTermKey ltk_{};
    std::array<std::uint8_t, pemra_crypto_key_size> session_key_{};
    std::array<std::uint8_t, pemra_crypto_nonce_size> nonce_{};
    // The shared counter may be out of step with the reader's (an exchange
    // ended without a usable reply): start the encryption anew first.
    bool needs_rekey_ = false;
    Backoff rekey_retry_{first_rekey_pause, rekey_pause_limit};
    // Operations waiting for the one under way, which is not among them.
    std::deque<Operation> operations_;
    bool operation_under_way_ = false;
    // When the request that the operation under way serves is due.
    std::optional<Deadline> due_under_way_;
    sigc::connection status_connection_;
    sigc::connection disconnect_connection_;
};
