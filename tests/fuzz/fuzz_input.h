#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

// Reads a fuzz input from the front, so that seeds can be written by hand:
// single bytes, and byte strings of a given or a prefixed length. Past the
// end everything reads as zero or empty.
class FuzzInput {
public:
    FuzzInput(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}

    bool empty() const { return position_ == size_; }

    std::uint8_t byte() { return empty() ? 0 : data_[position_++]; }

    std::vector<std::uint8_t> bytes(std::size_t count)
    {
        count = std::min(count, size_ - position_);
        std::vector<std::uint8_t> taken(data_ + position_, data_ + position_ + count);
        position_ += count;
        return taken;
    }

    // A length byte, then that many bytes.
    std::vector<std::uint8_t> short_string() { return bytes(byte()); }

    // A two-byte length, low byte first, then that many bytes.
    std::vector<std::uint8_t> long_string()
    {
        const std::size_t low = byte();
        return bytes(low | std::size_t{byte()} << 8);
    }

private:
    const std::uint8_t *data_;
    std::size_t size_;
    std::size_t position_ = 0;
};
