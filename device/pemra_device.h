#pragma once

#include <sigc++/signal.h>

#include <array>
#include <cstdint>
#include <ctime>
#include <memory>
#include <span>
#include <string>
#include <variant>

#include "crypto/link_crypto.h"
#include "device/ltk_file.h"
#include "device/pemra_session.h"
#include "device/task.h"

class PemraTunnelService;

// The driver's session with one connected reader: the set-up handshake (keys,
// host name, descriptor, time, message size), the encrypted message exchange
// and the card operations. It owns the reader's tunnel.
class PemraDevice : public PemraSession, public std::enable_shared_from_this<PemraDevice> {
public:
    // The set-up starts this long after the session is made.
    static constexpr unsigned setup_delay_ms = 1000;
    // Largest plaintext message while the reader has reported no usable size.
    static constexpr std::size_t default_rpc_limit = 320;

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

    // One request/reply exchange: size limit, optional encryption, one
    // transfer, decryption. No bytes on any failure.
    void write_rpc(std::span<const std::uint8_t> message, bool encrypt, BytesCompletion done) override;

    void reset_card(BytesCompletion done) override;
    void write_apdu(std::span<const std::uint8_t> apdu, BytesCompletion done) override;
    void shutdown(std::function<void()> done) override;

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

    Task<bool> init_pemra();
    Task<bool> init_encryption();
    Task<Bytes> request_session_key();
    bool take_session_key(const Bytes &reply);
    Task<std::monostate> key_exchange();
    void save_ltk();

    Task<Bytes> rpc(Bytes message, bool encrypt);
    Task<Bytes> transfer(Bytes message);
    Task<Bytes> run_card_command(Bytes request);
    std::size_t rpc_limit() const;
    Bytes decrypt_reply(Bytes reply);
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
    // Starting the encryption anew failed: nothing more goes to the reader.
    bool unusable_ = false;
    sigc::connection status_connection_;
    sigc::connection disconnect_connection_;
};
