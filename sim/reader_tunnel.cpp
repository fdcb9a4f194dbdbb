#include "sim/reader_tunnel.h"

#include <glibmm/main.h>

namespace pemra_sim {

namespace {

constexpr std::size_t length_size = 2;

std::size_t little_endian_length(const Bytes &bytes) { return bytes[0] | std::size_t{bytes[1]} << 8; }

} // namespace

ReaderTunnel::ReaderTunnel(Faults &faults, Hooks hooks, std::size_t notify_size)
    : faults_(faults), hooks_(std::move(hooks)), notify_size_(notify_size)
{
}

ReaderTunnel::~ReaderTunnel()
{
    delay_.disconnect();
    pacing_.disconnect();
}

void ReaderTunnel::write(int characteristic, const Bytes &value)
{
    switch (characteristic) {
    case 7:
        short_write(value);
        break;
    case 1:
        length_write(value);
        break;
    case 2:
        body_write(value);
        break;
    default:
        break;
    }
}

void ReaderTunnel::short_write(const Bytes &value)
{
    short_request_.insert(short_request_.end(), value.begin(), value.end());
    if (short_request_.size() < length_size)
        return;
    const std::size_t length = little_endian_length(short_request_);
    if (short_request_.size() < length_size + length)
        return;
    const Bytes request = std::exchange(short_request_, {});
    if (request.size() > length_size + length) {
        hooks_.log("framing-error", "7: more bytes than announced", request);
        return;
    }
    handle(Framing::Short, Bytes(request.begin() + length_size, request.end()));
}

void ReaderTunnel::length_write(const Bytes &value)
{
    long_body_.clear();
    long_length_.reset();
    if (value.size() != length_size) {
        hooks_.log("framing-error", "1: length is not 2 bytes", value);
        return;
    }
    long_length_ = little_endian_length(value);
    if (disconnect_at_stage(1))
        return;
    if (*long_length_ == 0)
        body_write({});
}

void ReaderTunnel::body_write(const Bytes &value)
{
    if (!long_length_) {
        hooks_.log("framing-error", "2: body without length", value);
        return;
    }
    long_body_.insert(long_body_.end(), value.begin(), value.end());
    if (long_body_.size() < *long_length_) {
        disconnect_at_stage(4);
        return;
    }
    const Bytes request = std::exchange(long_body_, {});
    const std::size_t length = *std::exchange(long_length_, std::nullopt);
    if (request.size() > length) {
        hooks_.log("framing-error", "2: more bytes than announced", request);
        return;
    }
    if (disconnect_at_stage(2))
        return;
    handle(Framing::Long, request);
}

void ReaderTunnel::handle(Framing framing, const Bytes &message)
{
    hooks_.log("message", framing == Framing::Short ? "short" : "long", message);
    if (faults_.take(Fault::Silent)) {
        hooks_.log("silent", {}, {});
        return;
    }
    const Bytes reply = hooks_.answer(message);
    const int delay = faults_.value(Fault::ReplyDelayMs);
    if (delay <= 0) {
        deliver(framing, reply);
        return;
    }
    reply_pending_ = true;
    delay_ = Glib::signal_timeout().connect(
        [this, framing, reply] {
            deliver(framing, reply);
            return false;
        },
        static_cast<unsigned>(delay));
}

FramingFaults ReaderTunnel::take_framing_faults()
{
    FramingFaults faults;
    faults.zero_fragment_size = faults_.take(Fault::HeaderZeroFragmentSize);
    faults.zero_total = faults_.take(Fault::HeaderZeroTotal);
    faults.too_many_fragments = faults_.take(Fault::HeaderTooManyFragments);
    faults.oversized_fragments = faults_.take(Fault::OversizedFragments);
    faults.short_header = faults_.take(Fault::ShortHeader);
    return faults;
}

void ReaderTunnel::deliver(Framing framing, const Bytes &reply)
{
    reply_pending_ = false;
    if (reply.size() > max_reply_size(framing, notify_size_)) {
        hooks_.log("framing-error", "reply too long for 256 fragments", reply);
        return;
    }
    FramedReply framed = frame_reply(reply, framing, notify_size_, take_framing_faults());
    if (framing == Framing::Short) {
        send(std::move(framed.notifications));
        return;
    }
    header_ = std::move(framed.header);
    unsent_fragments_ = std::move(framed.notifications);
    for (auto &read : std::exchange(waiting_reads_, {}))
        read_header(std::move(read));
}

void ReaderTunnel::read_header(HeaderReply reply)
{
    if (reply_pending_) {
        waiting_reads_.push_back(std::move(reply));
        return;
    }
    reply(header_);
    if (disconnect_at_stage(3))
        return;
    send(std::exchange(unsent_fragments_, {}));
}

void ReaderTunnel::send(std::vector<Bytes> notifications)
{
    const auto limit = faults_.take_parameter(Fault::DisconnectAfterFragments);
    if (limit && notifications.size() > static_cast<std::size_t>(*limit))
        notifications.resize(static_cast<std::size_t>(*limit));
    for (auto &value : notifications)
        outgoing_.emplace_back(std::move(value));
    if (limit)
        outgoing_.emplace_back(std::nullopt);
    drain();
}

void ReaderTunnel::drain()
{
    const int interval = faults_.value(Fault::FragmentIntervalMs);
    if (interval <= 0) {
        while (!outgoing_.empty())
            send_next();
        return;
    }
    if (pacing_.connected())
        return;
    send_next();
    pacing_ = Glib::signal_timeout().connect(
        [this] {
            if (!outgoing_.empty())
                send_next();
            return !outgoing_.empty();
        },
        static_cast<unsigned>(interval));
}

void ReaderTunnel::send_next()
{
    // Taken off first: a disconnect empties the queue.
    const std::optional<Bytes> next = std::move(outgoing_.front());
    outgoing_.pop_front();
    if (next)
        hooks_.notify(*next);
    else
        hooks_.disconnect();
}

bool ReaderTunnel::disconnect_at_stage(int stage)
{
    if (faults_.value(Fault::DisconnectAtLongStage) != stage)
        return false;
    faults_.take_parameter(Fault::DisconnectAtLongStage);
    hooks_.log("fault", "disconnect at long stage " + std::to_string(stage), {});
    hooks_.disconnect();
    return true;
}

void ReaderTunnel::reset()
{
    delay_.disconnect();
    short_request_.clear();
    long_length_.reset();
    long_body_.clear();
    unsent_fragments_.clear();
    outgoing_.clear();
    pacing_.disconnect();
    reply_pending_ = false;
    for (auto &read : std::exchange(waiting_reads_, {}))
        read(std::nullopt);
}

} // namespace pemra_sim
