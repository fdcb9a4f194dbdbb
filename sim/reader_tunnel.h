// The reader's end of the GATT tunnel: it assembles requests from the writes
// on characteristics 7 (short framing: length, then the message) and 1 and 2
// (long framing: length on 1, the message on 2), has the protocol answer
// them, and sends the reply as notifications on characteristic 4 (short)
// or as a header on characteristic 3 whose fragments follow its read (long).
//
// All notifications of a reply go out back to back, right after the reply
// to the write that completed the request (short) or to the read of the
// header (long); with fragment-interval-ms they are paced instead, and a
// reply that comes meanwhile queues behind them as on one radio link. A delayed reply holds reads of characteristic 3 until it
// is ready; without a pending reply, 3 answers its current value.
#pragma once

#include <deque>
#include <functional>
#include <optional>
#include <string>

#include <sigc++/connection.h>

#include "sim/faults.h"
#include "sim/reply_framing.h"

namespace pemra_sim {

class ReaderTunnel {
public:
    struct Hooks {
        std::function<Bytes(const Bytes &message)> answer;
        std::function<void(const Bytes &value)> notify; // on characteristic 4
        std::function<void()> disconnect;
        std::function<void(const std::string &event, const std::string &detail, const Bytes &data)> log;
    };
    // Gets the header value, or nothing when the link went away first.
    using HeaderReply = std::function<void(const std::optional<Bytes> &value)>;

    ReaderTunnel(Faults &faults, Hooks hooks, std::size_t notify_size);
    ~ReaderTunnel();
    ReaderTunnel(const ReaderTunnel &) = delete;
    ReaderTunnel &operator=(const ReaderTunnel &) = delete;

    void set_notify_size(std::size_t size) { notify_size_ = size; }
    std::size_t notify_size() const { return notify_size_; }

    // A write on characteristic 1, 2 or 7, once BlueZ has answered it.
    void write(int characteristic, const Bytes &value);
    // A read of characteristic 3: `reply` answers it, then fragments follow.
    void read_header(HeaderReply reply);
    // The link is gone: half-received requests and unsent replies with it.
    void reset();

private:
    void short_write(const Bytes &value);
    void length_write(const Bytes &value);
    void body_write(const Bytes &value);
    void handle(Framing framing, const Bytes &message);
    void deliver(Framing framing, const Bytes &reply);
    void send(std::vector<Bytes> notifications);
    void drain();
    void send_next();
    bool disconnect_at_stage(int stage);
    FramingFaults take_framing_faults();

    Faults &faults_;
    Hooks hooks_;
    std::size_t notify_size_;
    Bytes short_request_;
    std::optional<std::size_t> long_length_;
    Bytes long_body_;
    Bytes header_;
    std::vector<Bytes> unsent_fragments_;
    bool reply_pending_ = false;
    std::vector<HeaderReply> waiting_reads_;
    sigc::connection delay_;
    // Queued notifications; nothing stands for the disconnect that the
    // disconnect-after-fragments switch asks for.
    std::deque<std::optional<Bytes>> outgoing_;
    sigc::connection pacing_;
};

} // namespace pemra_sim
