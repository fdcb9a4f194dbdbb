// What sits in a reader's slot: the built-in card, or a relay to a card
// elsewhere.
#pragma once

#include <span>

#include "sim/variants.h"

namespace pemra_sim {

class CardBackend {
public:
    virtual ~CardBackend() = default;
    // Powers the card up, or resets it, and returns its answer to reset;
    // nothing when no card answers.
    virtual Bytes power_on() = 0;
    virtual void power_off() = 0;
    // The response APDU, status word included.
    virtual Bytes process(std::span<const std::uint8_t> apdu) = 0;
};

} // namespace pemra_sim
