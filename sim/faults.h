// Fault switches of one reader, set at run time through the control
// interface. Counted switches fire on the next N occasions (-1: on every
// one); the others carry a parameter.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace pemra_sim {

enum class Fault {
    Silent,                  // counted: the next requests get no reply at all
    ReplyDelayMs,            // parameter: every reply waits this long (0: off)
    WriteAnswerDelayMs,      // parameter: a Write Request is answered this long after the reader acted on it
    DisconnectAfterFragments, // parameter, once: disconnect after k fragments of the next reply (-1: off)
    DisconnectAtLongStage,   // parameter, once: disconnect at stage 1 to 4 of the next long transfer (0: off)
    FailWrite1,              // counted: WriteValue on characteristic 1 fails
    FailWrite2,
    FailWrite7,
    FailRead3,               // counted: ReadValue on characteristic 3 fails
    FailStartNotify4,        // counted: StartNotify on characteristic 4 fails
    FailStartNotify8,
    CorruptTag,              // counted: the tag of the next encrypted reply is wrong
    HeaderZeroFragmentSize,  // counted: the reply header announces fragment size 0
    HeaderZeroTotal,         // counted: the reply header announces total length 0
    HeaderTooManyFragments,  // counted: the reply comes in more than 256 one-byte fragments
    OversizedFragments,      // counted: fragments carry one byte more than the header announces
    ShortHeader,             // counted: the reply header has 3 bytes only
    KeyReply03,              // counted: the session-key reply is 03 00 00 00 00
    ShortKeyExchangeReply,   // counted: the key-exchange reply lacks its last byte
    ShortReply,              // counted: the encrypted reply is cut to 3 bytes
    FailedStatus,            // counted: the encrypted reply's status byte is FE
    PlainReplyBytes,         // parameter: plain requests are answered with this many bytes (0: off)
    FragmentIntervalMs,      // parameter: fragments go out this many ms apart (0: back to back)
    ConnectionIntervalUs,    // parameter: each answer and notification waits for a connection event (0: off)
    EmptyAtr,                // counted: a card reset is answered 00 alone
    AttTimeoutMs,            // parameter: a request left unanswered this long drops the link (0: never)
    HeaderAnswerLast,        // counted: the read of characteristic 3 is answered after the reply's fragments
    // Earlier behaviours of the stand-in, kept for tests that need them:
    NotificationsEndAtDisconnect, // counted: a link loss ends every notification session
    ConnectInOneSignal,      // counted: a connection announces Connected and ServicesResolved together
    // BlueZ's own, set on "/":
    ManagedObjectsError,     // counted: GetManagedObjects is answered with an error
    ManagedObjectsWrongType, // counted: GetManagedObjects is answered with a body of another type
    NameGapMs,               // parameter, once: the name is given up before the next GetManagedObjects answer
    RegisterApplicationError, // counted: RegisterApplication is refused
    Count_
};

inline constexpr std::size_t fault_count = static_cast<std::size_t>(Fault::Count_);

// bluetoothd's ATT transaction timeout (src/shared/att.c), the default of att-timeout-ms.
inline constexpr int att_timeout_ms = 30000;

struct FaultInfo {
    Fault fault;
    std::string_view name;
    int off; // the value that disarms the switch, or BlueZ's own
    std::string_view help;
};

const std::array<FaultInfo, fault_count> &fault_table();
std::optional<Fault> fault_by_name(std::string_view name);
// A switch of the stand-in's BlueZ (its GATT calls, its link, "/"), which a
// reader beside a real bluetoothd does not have.
bool is_bluez_fault(Fault fault);

class Faults {
public:
    Faults();
    void set(Fault fault, int value) { values_[index(fault)] = value; }
    int value(Fault fault) const { return values_[index(fault)]; }
    bool armed(Fault fault) const;
    // A counted switch: true when it fires now, and counts the occasion.
    bool take(Fault fault);
    // A one-shot parameter: its value, and the switch is off afterwards.
    std::optional<int> take_parameter(Fault fault);
    void clear();

private:
    static std::size_t index(Fault fault) { return static_cast<std::size_t>(fault); }
    std::array<int, fault_count> values_{};
};

} // namespace pemra_sim
