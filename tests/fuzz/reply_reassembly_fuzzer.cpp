// Any sequence of reply headers and characteristic-4 notifications through
// the tunnel's reply state, driven as the tunnel drives it: nothing may crash
// or reach outside a fragment, the counts stay within the 256 slots, and
// every reassembled reply holds exactly the fragments that fit, by arrival
// order, with zeros elsewhere.
//
// Input: a list of steps, each an opcode byte (taken modulo 4) and, for a
// header or a notification, a length byte and that many bytes:
//   0 a short transfer starts (the header starts fragment 0) and waits
//   1 a long transfer has written its body and reads this header from
//     characteristic 3; notifications before it are dropped
//   2 a notification on characteristic 4
//   3 the reader's link changes or the silence bound passes
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "tests/fuzz/fuzz_input.h"
#include "tests/fuzz/require.h"
#include "tunnel/receive_state.h"

namespace {

using Progress = ReceiveState::Progress;

// The tunnel's side of one reply: what it fed the state, kept apart from it.
class Tunnel {
public:
    void start_short()
    {
        prepare(true);
        start_waiting();
    }
    void header_read(const std::vector<std::uint8_t> &header)
    {
        prepare(false);
        if (state_.take_header(header) == Progress::Unusable)
            return finish(Wake::ReplyUnusable);
        start_waiting();
    }
    void notified(const std::vector<std::uint8_t> &value)
    {
        if (!state_.waiting())
            return;
        const int before = state_.received_fragments();
        const Progress progress = state_.receive(value);
        if (state_.received_fragments() != before) {
            require(state_.received_fragments() == before + 1);
            accepted_.emplace_back(value.empty() ? value.begin() : value.begin() + 1, value.end());
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
    void check_reassembly() const
    {
        const Reassembly reply = state_.reassemble();
        const std::size_t total = static_cast<std::size_t>(state_.total_length());
        const std::size_t size = static_cast<std::size_t>(state_.fragment_size());
        require(reply.bytes.size() == total);
        std::vector<std::uint8_t> expected(total);
        bool whole = size > 0;
        for (std::size_t k = 0; size > 0 && k * size < total; ++k) {
            const std::size_t offset = k * size;
            const std::size_t share = std::min(size, total - offset);
            const std::vector<std::uint8_t> *fragment = k < accepted_.size() ? &accepted_[k] : nullptr;
            if (fragment && offset + fragment->size() <= total)
                std::copy(fragment->begin(), fragment->end(), expected.begin() + static_cast<std::ptrdiff_t>(offset));
            whole = whole && fragment && fragment->size() == share;
        }
        require(reply.bytes == expected);
        require(reply.whole == whole);
    }

    ReceiveState state_;
    std::vector<std::vector<std::uint8_t>> accepted_;
    int woken_ = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzInput input(data, size);
    Tunnel tunnel;
    while (!input.empty()) {
        switch (input.byte() % 4) {
        case 0:
            tunnel.start_short();
            break;
        case 1:
            tunnel.header_read(input.short_string());
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
