// The reader's side of the radio link. With a connection interval set
// (the connection-interval-us switch), every ATT PDU that the reader sends
// (the answer to a write or a read, a notification) goes out at a
// connection event, one PDU per event: one interval after the previous PDU,
// or after now when the link was idle. Without one, PDUs go out at once.
// A timer file descriptor gives the microsecond resolution that BLE's
// 7.5 ms interval needs; GLib's timeouts count whole milliseconds.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>

#include <glibmm/main.h>

#include "sim/faults.h"

namespace pemra_sim {

class Radio {
public:
    explicit Radio(const Faults &faults);
    ~Radio();
    Radio(const Radio &) = delete;
    Radio &operator=(const Radio &) = delete;

    // `pdu` runs when the PDU is on the air; `lost`, if given, instead when
    // the link drops first.
    void send(std::function<void()> pdu, std::function<void()> lost = {});
    // The link is gone: what still waits never goes out.
    void reset();

private:
    struct Pending {
        std::int64_t due_us;
        std::function<void()> pdu;
        std::function<void()> lost;
    };
    void arm();
    bool on_timer(Glib::IOCondition);

    const Faults &faults_;
    std::deque<Pending> queue_;
    std::int64_t last_due_us_ = 0;
    int timer_fd_;
    sigc::connection watch_;
};

} // namespace pemra_sim
