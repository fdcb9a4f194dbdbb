#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>

class PemraSession;

// The driver serves one reader at a time: one slot, index 0.
inline constexpr std::int32_t pemra_devlist_length1 = 1;

// Card status value that means "a card is present"; the other values come
// from the reader and all mean absent.
inline constexpr std::int32_t card_status_present = 6;

// The session in each slot. Touched only on the worker thread.
extern std::array<std::shared_ptr<PemraSession>, pemra_devlist_length1> &pemra_devlist;

// Last card status and maximum APDU size per slot. The worker writes them and
// the daemon's threads read them without a lock: each entry is one aligned
// 32-bit value, so a reader sees either the old or the new value.
extern std::array<std::atomic<std::int32_t>, pemra_devlist_length1> pemra_statuslist;
extern std::array<std::atomic<std::int32_t>, pemra_devlist_length1> max_apdu_sizes;
