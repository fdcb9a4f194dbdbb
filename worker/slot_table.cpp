#include "worker/slot_table.h"

#include "device/pemra_session.h"

// The table exists before the first start and never moves. The sessions are
// never destroyed at exit: the worker may still be using them then.
std::array<std::shared_ptr<PemraSession>, pemra_devlist_length1> &pemra_devlist =
    *new std::array<std::shared_ptr<PemraSession>, pemra_devlist_length1>;
std::array<std::atomic<std::int32_t>, pemra_devlist_length1> pemra_statuslist{};
std::array<std::atomic<std::int32_t>, pemra_devlist_length1> max_apdu_sizes{};
