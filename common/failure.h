#pragma once

#include <cstdint>
#include <utility>
#include <variant>

// What went wrong with a request to the reader. It travels unchanged from
// where it arises (the tunnel, the session, the worker, the request channel)
// to the driver's entry points, which map it to pcscd's codes in one place.
// Each layer handles what it can where it arises and passes the rest on.
// One byte each, never 0: the request channel carries a failure as the
// status byte of its reply, where 0 stands for success.
enum class Failure : std::uint8_t {
    NoSession = 1,    // the slot holds no session that is set up
    Refused,          // the driver does not pass the request on (a reserved message, more than the channel carries)
    TooLong,          // the message is longer than the reader takes one
    BusError,         // a BlueZ call failed; reported where it failed
    NoReply,          // the reader's reply never came whole (silence, an unusable header)
    BadReply,         // the reply did not open, or the reader reported a failure
    LinkNotQuiet,     // the link kept sending leftovers of an abandoned reply
    DeadlinePassed,   // the request ran out of its time on the worker
    ChannelClosed,    // the worker's end of the request channel is gone
    NotAnswered,      // the worker is held and has not answered an earlier request
    NotServed,        // the reader answered with its failure result, or the worker has nothing to answer
    DoesNotFit,       // the answer does not fit the caller's buffer
};
inline constexpr Failure last_failure = Failure::DoesNotFit;

// A value or the reason there is none, in the manner of std::expected.
template <typename T> class Outcome {
public:
    Outcome(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Outcome(Failure failure) : state_(std::in_place_index<1>, failure) {}

    bool has_value() const { return state_.index() == 0; }
    explicit operator bool() const { return has_value(); }

    T &value() { return std::get<0>(state_); }
    const T &value() const { return std::get<0>(state_); }
    T &operator*() { return value(); }
    const T &operator*() const { return value(); }
    T *operator->() { return &value(); }
    const T *operator->() const { return &value(); }

    Failure failure() const { return std::get<1>(state_); }

private:
    std::variant<T, Failure> state_;
};

// The outcome of an operation that yields nothing but success.
using Done = Outcome<std::monostate>;
inline Done succeeded() { return Done(std::monostate{}); }
