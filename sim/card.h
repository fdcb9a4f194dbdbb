// The card behind the reader: a small ISO/IEC 7816-4 card.
//
//   MF 3F00
//     EF 2F00            EF.DIR, names the application
//     DF 5000            AID F0 50 45 4D 52 41 53 49 4D ("\xF0PEMRASIM")
//       EF 5001          300 bytes, byte i = i mod 256, readable
//       EF 5002          "PIN-protected data", readable after VERIFY
//
// Commands: SELECT (00 A4; by file id with P1 00/01/02, by AID with P1 04;
// P2 0C no answer, 00 FCI, 04 FCP), READ BINARY (00 B0), GET CHALLENGE
// (00 84), VERIFY (00 20 00 81; PIN "123456", 3 tries) and ECHO (80 EE 00 00:
// answers its data, or Le bytes i mod 256 when it has none). Short and
// extended lengths; answers longer than the reader can carry are refused
// with 67 00.
#pragma once

#include <optional>
#include <span>

#include "sim/apdu.h"
#include "sim/card_backend.h"

namespace pemra_sim {

class Card : public CardBackend {
public:
    // `max_response`: the longest answer, status word included.
    explicit Card(std::size_t max_response);

    Bytes atr() const;
    // Power-on: the MF is selected and the PIN state is cleared.
    void reset();
    Bytes power_on() override;
    void power_off() override {}
    Bytes process(std::span<const std::uint8_t> apdu) override;

    static constexpr int pin_tries = 3;

private:
    struct File {
        std::uint16_t id;
        std::optional<std::size_t> parent;
        bool dedicated;
        Bytes name; // AID of a DF
        Bytes content;
        bool needs_pin;
    };

    Bytes select(const Command &command);
    Bytes read_binary(const Command &command);
    Bytes get_challenge(const Command &command);
    Bytes verify(const Command &command);
    Bytes echo(const Command &command);

    std::optional<std::size_t> find_child(std::size_t folder, std::uint16_t id) const;
    std::optional<std::size_t> find_by_id(std::uint16_t id) const;
    std::optional<std::size_t> find_by_name(const Bytes &name) const;
    Bytes describe(std::size_t file, std::uint8_t p2) const;
    Bytes answer(Bytes data, std::uint16_t status) const;

    std::size_t max_response_;
    std::vector<File> files_;
    std::size_t current_df_ = 0;
    std::optional<std::size_t> current_ef_;
    bool verified_ = false;
    int tries_left_ = pin_tries;
};

Bytes status_word(std::uint16_t status);

} // namespace pemra_sim
