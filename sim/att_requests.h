// BlueZ's side of the requests on one reader's ATT bearer: which
// characteristics have a Write Request outstanding (bluetoothd refuses a
// second WriteValue on one with InProgress, src/gatt-client.c), and the
// transaction timeout after which bluetoothd drops the link when the reader
// leaves a request unanswered (src/shared/att.c; the att-timeout-ms switch).
#pragma once

#include <cstdint>
#include <functional>
#include <map>

#include <sigc++/connection.h>

#include "sim/faults.h"

namespace pemra_sim {

class AttRequests {
public:
    using Id = std::uint64_t;
    enum class Kind { Write, Read };

    AttRequests(const Faults &faults, std::function<void()> timed_out);
    ~AttRequests();
    AttRequests(const AttRequests &) = delete;
    AttRequests &operator=(const AttRequests &) = delete;

    Id begin(int characteristic, Kind kind);
    // The reader answered, or the link went away first.
    void end(Id id);
    bool writing(int characteristic) const;
    // The link is gone: nothing is outstanding any more.
    void reset();

private:
    struct Request {
        int characteristic;
        Kind kind;
        sigc::connection timer;
    };

    const Faults &faults_;
    std::function<void()> timed_out_;
    std::map<Id, Request> requests_;
    Id next_ = 0;
};

} // namespace pemra_sim
