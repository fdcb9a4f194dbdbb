#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "common/bytes.h"

// The reply that the one waiting transfer of a tunnel collects: the reader
// cuts it into fragment notifications on characteristic 4, each one prefix
// byte (the fragment's number, where the reader numbers them) and fragment
// data, and announces it in a 4-byte reply header (total length, low byte
// first; one byte not interpreted; fragment size). Both
// framings share this state; they differ only in where the header comes
// from: the start of fragment 0's data (short transfer) or the value of
// characteristic 3 (long transfer).

inline constexpr int max_fragments = 256;
inline constexpr std::size_t reply_header_size = 4;

// One fragment notification as it arrived.
struct NotiResult {
    std::uint8_t prefix = 0; // the fragment's number, where the reader numbers them
    Bytes data;
};

// Why a waiting transfer is resumed.
enum class Wake {
    ReplyComplete, // every expected fragment has arrived
    ReplyUnusable, // the header announces no reply that can be collected
    LinkChanged,   // the reader's Connected property changed
    Silence,       // no fragment came for the tunnel's silence bound
    TimeLimit,     // the transfer took longer than the tunnel allows one
    Aborted,       // the tunnel's user gave up on it
};

// A reassembled reply: total-length bytes, zeros where no fragment fit.
struct Reassembly {
    Bytes bytes;
    // Every fragment arrived and filled exactly its share of the reply.
    bool whole = false;
};

class ReceiveState {
public:
    using Continuation = std::function<void(Wake)>;

    // What a header or a notification did to the reply.
    enum class Progress { Incomplete, Complete, Unusable, NotAwaited };

    // Empties the slots and counters for a new reply. Total length and
    // fragment size are cleared too, so that a transfer woken before its
    // header sees an empty reply rather than the previous one's size.
    void prepare(bool header_in_first_fragment);
    // The transfer waits from now on; `resume` continues it.
    void wait(Continuation resume);
    bool waiting() const { return waiting_; }
    // Ends the wait: the continuation, if one waits, to be scheduled.
    Continuation take_continuation();

    // The value read from characteristic 3: a header of fewer than 4 bytes
    // announces nothing and is unusable.
    Progress take_header(std::span<const std::uint8_t> header);
    // One notification on characteristic 4: placed by arrival order while a
    // transfer waits, NotAwaited while none does. A copy that bluetoothd
    // signalled for another subscriber is never taken.
    Progress receive(std::span<const std::uint8_t> notification);
    // bluetoothd answered a call of the tunnel's: it has signalled every copy
    // of the notifications before its answer.
    void bluez_answered() { copies_may_come_ = false; }
    // Another subscriber's copies have been seen and one of the last
    // notification may still come: the tunnel has bluetoothd answer a call
    // before it sends a short request, so that the answer to that request,
    // should it repeat the last notification, is not taken for a copy.
    bool copy_may_precede_answer() const { return copies_seen_ && copies_may_come_; }
    Reassembly reassemble() const;

    int expected_fragments() const { return expected_fragments_; }
    int received_fragments() const { return received_fragments_; }
    int total_length() const { return total_length_; }
    int fragment_size() const { return fragment_size_; }

private:
    Progress parse_header(std::span<const std::uint8_t> header);
    bool is_copy(std::span<const std::uint8_t> notification) const;
    Progress take_fragment(std::span<const std::uint8_t> notification);
    // Complete once every expected fragment is in.
    Progress progress();
    // Every expected fragment is in, and their prefixes number them.
    bool fragments_numbered() const;
    // The number of reply bytes that fragment k carries.
    std::size_t share_of(int k) const;

    std::array<std::optional<NotiResult>, max_fragments> noti_results_;
    int expected_fragments_ = max_fragments;
    int received_fragments_ = 0;
    int fragment_size_ = 0;
    int total_length_ = 0;
    bool waiting_ = false;
    bool header_in_first_fragment_ = false;
    Continuation resume_callback_;
    // The last notification seen, taken or not; kept across replies.
    Bytes last_seen_;
    // bluetoothd has not answered a call since last_seen_ came.
    bool copies_may_come_ = false;
    // A copy for another subscriber has been seen: one listens.
    bool copies_seen_ = false;
    // The reader numbers its fragments in their prefix.
    bool numbered_ = false;
};
