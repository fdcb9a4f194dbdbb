#include "tunnel/receive_state.h"

#include <algorithm>
#include <bitset>
#include <utility>

void ReceiveState::prepare(bool header_in_first_fragment)
{
    for (auto &slot : noti_results_)
        slot.reset();
    expected_fragments_ = max_fragments;
    received_fragments_ = 0;
    fragment_size_ = 0;
    total_length_ = 0;
    waiting_ = false;
    header_in_first_fragment_ = header_in_first_fragment;
}

void ReceiveState::wait(Continuation resume)
{
    resume_callback_ = std::move(resume);
    waiting_ = true;
}

ReceiveState::Continuation ReceiveState::take_continuation()
{
    // Collecting stops with the wake-up: what comes after it belongs to no
    // transfer (the reply of a disconnecting reader included).
    waiting_ = false;
    return std::exchange(resume_callback_, nullptr);
}

ReceiveState::Progress ReceiveState::take_header(std::span<const std::uint8_t> header)
{
    if (header.size() < reply_header_size)
        return Progress::Unusable;
    return parse_header(header);
}

ReceiveState::Progress ReceiveState::parse_header(std::span<const std::uint8_t> header)
{
    fragment_size_ = header[3];
    total_length_ = header[0] | header[1] << 8;
    // A zero fragment size cannot be divided by, a zero total never
    // completes, and more than 256 fragments do not fit the slots: none of
    // these replies can be collected.
    if (fragment_size_ == 0 || total_length_ == 0)
        return Progress::Unusable;
    expected_fragments_ = (total_length_ + fragment_size_ - 1) / fragment_size_;
    if (expected_fragments_ > max_fragments)
        return Progress::Unusable;
    // Fragments taken before the header (a long reply's, or a numbering
    // reader's whose fragment 0 came late) may already outnumber it: such a
    // reply never completes.
    if (received_fragments_ > expected_fragments_)
        return Progress::Unusable;
    return progress();
}

// bluetoothd signals every notification once per client that subscribed to
// it (bluetoothctl's "notify on" makes a second one), all copies back to
// back, before it reads the next call of ours; its answer to any call
// therefore comes after every copy of the notifications before it. A repeat
// of the last notification seen, with no such answer between, may be a copy.
// It is one where nothing else can stand: while no transfer waits, and within
// a reply, whose fragments never repeat each other. As the first fragment of
// a reply it may also be the reader answering the same way twice (a refused
// session key), and is taken for a copy only once copies have been seen: the
// tunnel then has bluetoothd answer a call before each short request, so that
// an answer to that request always comes after the answer of that call.
bool ReceiveState::is_copy(std::span<const std::uint8_t> notification) const
{
    if (!copies_may_come_ || !std::ranges::equal(last_seen_, notification))
        return false;
    const bool first_of_reply = waiting_ && received_fragments_ == 0;
    return !first_of_reply || copies_seen_;
}

ReceiveState::Progress ReceiveState::receive(std::span<const std::uint8_t> notification)
{
    const bool copy = is_copy(notification);
    copies_seen_ = copies_seen_ || copy;
    copies_may_come_ = true;
    last_seen_.assign(notification.begin(), notification.end());
    if (!waiting_)
        return Progress::NotAwaited;
    if (copy || received_fragments_ >= expected_fragments_)
        return Progress::Incomplete;
    return take_fragment(notification);
}

ReceiveState::Progress ReceiveState::take_fragment(std::span<const std::uint8_t> notification)
{
    const int k = received_fragments_;
    NotiResult &fragment = noti_results_[static_cast<std::size_t>(k)].emplace();
    if (!notification.empty()) {
        fragment.prefix = notification[0];
        fragment.data.assign(notification.begin() + 1, notification.end());
    }
    received_fragments_ = k + 1;
    const bool holds_header = numbered_ ? fragment.prefix == 0 : k == 0;
    if (header_in_first_fragment_ && holds_header && fragment.data.size() >= reply_header_size)
        return parse_header(fragment.data);
    return progress();
}

ReceiveState::Progress ReceiveState::progress()
{
    if (received_fragments_ != expected_fragments_)
        return Progress::Incomplete;
    numbered_ = numbered_ || fragments_numbered();
    return Progress::Complete;
}

// With EATT, bluetoothd may signal a reader's notifications out of order
// (seen on the real one: fragments 0 2 1 3). A reader that numbers its
// fragments in their prefix, 0 to n-1, has them placed by that number; one
// whose prefixes are anything else has them placed in the order they came.
// A whole reply numbered so shows that the reader numbers them: from then
// on the header of a short reply is taken from fragment 0, wherever it
// comes.
bool ReceiveState::fragments_numbered() const
{
    if (received_fragments_ != expected_fragments_)
        return false;
    std::bitset<max_fragments> seen;
    for (int k = 0; k < received_fragments_; ++k) {
        const std::uint8_t number = noti_results_[static_cast<std::size_t>(k)]->prefix;
        if (number >= expected_fragments_ || seen.test(number))
            return false;
        seen.set(number);
    }
    return true;
}

std::size_t ReceiveState::share_of(int k) const
{
    const int offset = k * fragment_size_;
    return static_cast<std::size_t>(std::min(fragment_size_, total_length_ - offset));
}

Reassembly ReceiveState::reassemble() const
{
    Reassembly reply{Bytes(static_cast<std::size_t>(total_length_)), fragment_size_ > 0};
    if (fragment_size_ == 0)
        return reply;
    // Each fragment at its place first, then copied in the order of the
    // places: what a fragment longer than its share spills over its
    // neighbour does not depend on the order in which they came.
    const int positions = std::min((total_length_ + fragment_size_ - 1) / fragment_size_, max_fragments);
    std::array<const NotiResult *, max_fragments> at{};
    const bool numbered = fragments_numbered();
    for (int k = 0; k < received_fragments_; ++k) {
        const auto &fragment = noti_results_[static_cast<std::size_t>(k)];
        const int position = fragment && numbered ? fragment->prefix : k;
        if (fragment && position < positions)
            at[static_cast<std::size_t>(position)] = &*fragment;
    }
    for (int position = 0; position < positions; ++position) {
        const NotiResult *fragment = at[static_cast<std::size_t>(position)];
        const std::size_t offset = static_cast<std::size_t>(position * fragment_size_);
        // A fragment that would run past the end is left out whole, not cut.
        if (fragment && offset + fragment->data.size() <= reply.bytes.size())
            std::ranges::copy(fragment->data, reply.bytes.begin() + static_cast<std::ptrdiff_t>(offset));
        reply.whole = reply.whole && fragment && fragment->data.size() == share_of(position);
    }
    return reply;
}
