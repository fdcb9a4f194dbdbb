// Any sequence of reply headers and characteristic-4 notifications through
// the tunnel's reply state, driven as the tunnel drives it: nothing may crash
// or reach outside a fragment, the counts stay within the 256 slots, and
// every reassembled reply holds exactly the fragments that fit, placed by
// their prefix where the prefixes number them (0 to n-1, once each), else
// by arrival order, with zeros elsewhere.
//
// Input: a list of steps, each an opcode byte (taken modulo 5) and, for a
// header or a notification, a length byte and that many bytes:
//   0 a short transfer starts (the header starts fragment 0) and waits
//   1 a long transfer has written its body and sends its read of
//     characteristic 3: it collects fragments from now on
//   2 a notification on characteristic 4
//   3 the reader's link changes or the silence bound passes
//   4 the answer to that read brings this header
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "tests/fuzz/fuzz_input.h"
#include "tests/fuzz/require.h"
#include "tunnel/receive_state.h"

namespace {

using Progress = ReceiveState::Progress;

// The tunnel's side of one reply: what it fed the state, kept apart from it.
class Tunnel {
    struct Fragment {
        std::uint8_t prefix;
        std::vector<std::uint8_t> data;
    };

public:
    void start_short()
    {
        prepare(true);
        start_waiting();
    }
    void header_read_sent()
    {
        prepare(false);
        start_waiting();
        header_awaited_ = true;
    }
    void header_answered(const std::vector<std::uint8_t> &header)
    {
        if (!std::exchange(header_awaited_, false))
            return;
        state_.bluez_answered();
        if (!state_.waiting())
            return;
        const Progress progress = state_.take_header(header);
        if (progress == Progress::Unusable)
            finish(Wake::ReplyUnusable);
        else if (progress == Progress::Complete)
            finish(Wake::ReplyComplete);
        else
            require(state_.received_fragments() < state_.expected_fragments());
    }
    void notified(const std::vector<std::uint8_t> &value)
    {
        if (!state_.waiting())
            return;
        const int before = state_.received_fragments();
        const Progress progress = state_.receive(value);
        if (state_.received_fragments() != before) {
            require(state_.received_fragments() == before + 1);
            accepted_.push_back({value.empty() ? std::uint8_t{0} : value[0],
                                 std::vector<std::uint8_t>(value.empty() ? value.begin() : value.begin() + 1,
                                                           value.end())});
        }
        if (progress == Progress::Complete) {
            require(state_.received_fragments() == state_.expected_fragments());
            finish(Wake::ReplyComplete);
        } else if (progress == Progress::Unusable) {
            finish(Wake::ReplyUnusable);
        } else {
            require(state_.received_fragments() <= state_.expected_fragments());
            require(state_.expected_fragments() <= max_fragments);
        }
    }
    void link_changed()
    {
        if (state_.waiting())
            finish(Wake::LinkChanged);
    }

private:
    void prepare(bool header_in_first_fragment)
    {
        header_awaited_ = false;
        state_.prepare(header_in_first_fragment);
        accepted_.clear();
    }
    void start_waiting()
    {
        woken_ = 0;
        state_.wait([this](Wake) { ++woken_; });
    }
    void finish(Wake wake)
    {
        if (auto resume = state_.take_continuation())
            resume(wake);
        require(woken_ <= 1);
        require(!state_.waiting());
        check_reassembly();
    }
    // Where each accepted fragment goes: its number where the prefixes of a
    // whole reply number them, else its place in arrival order.
    std::vector<const Fragment *> by_position() const
    {
        std::vector<const Fragment *> placed(accepted_.size(), nullptr);
        const bool whole_count = static_cast<int>(accepted_.size()) == state_.expected_fragments();
        for (std::size_t k = 0; k < accepted_.size(); ++k) {
            const std::size_t number = accepted_[k].prefix;
            if (!whole_count || number >= placed.size() || placed[number])
                return arrival_order();
            placed[number] = &accepted_[k];
        }
        return placed;
    }
    std::vector<const Fragment *> arrival_order() const
    {
        std::vector<const Fragment *> placed;
        for (const Fragment &fragment : accepted_)
            placed.push_back(&fragment);
        return placed;
    }
    void check_reassembly() const
    {
        const Reassembly reply = state_.reassemble();
        const std::size_t total = static_cast<std::size_t>(state_.total_length());
        const std::size_t size = static_cast<std::size_t>(state_.fragment_size());
        require(reply.bytes.size() == total);
        std::vector<std::uint8_t> expected(total);
        bool whole = size > 0;
        const std::vector<const Fragment *> placed = by_position();
        for (std::size_t k = 0; size > 0 && k * size < total; ++k) {
            const std::size_t offset = k * size;
            const std::size_t share = std::min(size, total - offset);
            const std::vector<std::uint8_t> *fragment = k < placed.size() ? &placed[k]->data : nullptr;
            if (fragment && offset + fragment->size() <= total)
                std::copy(fragment->begin(), fragment->end(), expected.begin() + static_cast<std::ptrdiff_t>(offset));
            whole = whole && fragment && fragment->size() == share;
        }
        require(reply.bytes == expected);
        require(reply.whole == whole);
    }

    ReceiveState state_;
    std::vector<Fragment> accepted_;
    int woken_ = 0;
    bool header_awaited_ = false;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzInput input(data, size);
    Tunnel tunnel;
    while (!input.empty()) {
        switch (input.byte() % 5) {
        case 0:
            tunnel.start_short();
            break;
        case 1:
            tunnel.header_read_sent();
            break;
        case 4:
            tunnel.header_answered(input.short_string());
            break;
        case 2:
            tunnel.notified(input.short_string());
            break;
        case 3:
            tunnel.link_changed();
            break;
        }
    }
    return 0;
}
