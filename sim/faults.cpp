#include "sim/faults.h"

#include <algorithm>

namespace pemra_sim {

const std::array<FaultInfo, fault_count> &fault_table()
{
    static const std::array<FaultInfo, fault_count> table{{
        {Fault::Silent, "silent", 0, "the next N requests get no reply"},
        {Fault::ReplyDelayMs, "reply-delay-ms", 0, "every reply is sent N ms after its request (0: off)"},
        {Fault::WriteAnswerDelayMs, "write-answer-delay-ms", 0,
         "the reader answers each Write Request N ms after it acted on it, so that its reply comes first (0: off)"},
        {Fault::DisconnectAfterFragments, "disconnect-after-fragments", -1,
         "once: the reader disconnects after N fragments of the next reply (-1: off)"},
        {Fault::DisconnectAtLongStage, "disconnect-at-long-stage", 0,
         "once: the reader disconnects in the next long transfer after stage N: 1 the length write, "
         "2 the last body write, 3 the header read, 4 a body write that leaves the body incomplete (0: off)"},
        {Fault::FailWrite1, "fail-write-1", 0, "the next N WriteValue calls on characteristic 1 fail"},
        {Fault::FailWrite2, "fail-write-2", 0, "the next N WriteValue calls on characteristic 2 fail"},
        {Fault::FailWrite7, "fail-write-7", 0, "the next N WriteValue calls on characteristic 7 fail"},
        {Fault::FailRead3, "fail-read-3", 0, "the next N ReadValue calls on characteristic 3 fail"},
        {Fault::FailStartNotify4, "fail-start-notify-4", 0, "the next N StartNotify calls on characteristic 4 fail"},
        {Fault::FailStartNotify8, "fail-start-notify-8", 0, "the next N StartNotify calls on characteristic 8 fail"},
        {Fault::CorruptTag, "corrupt-tag", 0, "the next N encrypted replies carry a wrong tag"},
        {Fault::HeaderZeroFragmentSize, "header-zero-fragment-size", 0,
         "the next N reply headers announce fragment size 0"},
        {Fault::HeaderZeroTotal, "header-zero-total", 0, "the next N reply headers announce total length 0"},
        {Fault::HeaderTooManyFragments, "header-too-many-fragments", 0,
         "the next N replies are padded to 300 bytes and sent as one-byte fragments (more than 256)"},
        {Fault::OversizedFragments, "oversized-fragments", 0,
         "the next N replies carry one byte more per fragment than their header announces"},
        {Fault::ShortHeader, "short-header", 0, "the next N reply headers are cut to 3 bytes"},
        {Fault::KeyReply03, "key-reply-03", 0, "the next N session-key requests are answered 03 00 00 00 00"},
        {Fault::ShortKeyExchangeReply, "short-key-exchange-reply", 0,
         "the next N key-exchange replies lack their last byte (32 bytes instead of 33)"},
        {Fault::ShortReply, "short-reply", 0,
         "the next N encrypted replies are cut to their first 3 bytes, too short to hold a tag"},
        {Fault::FailedStatus, "failed-status", 0,
         "the next N encrypted replies carry the status byte FE in place of their own"},
        {Fault::PlainReplyBytes, "plain-reply-bytes", 0,
         "unencrypted requests other than 03 and A0 are answered with N bytes 00 01 02 ... (i mod 256) "
         "instead of FF, so that replies of any size can be asked for (0: off)"},
        {Fault::FragmentIntervalMs, "fragment-interval-ms", 0,
         "the fragments of every reply go out N ms apart instead of back to back; a reply that comes while "
         "one is still going out follows it (0: off)"},
        {Fault::ConnectionIntervalUs, "connection-interval-us", 0,
         "the link has a connection interval of N microseconds (7500 is Bluetooth LE's shortest): each answer "
         "to a write or a read and each notification goes out at the next free connection event, one per "
         "event, N us after the previous one (0: off, everything at once)"},
        {Fault::EmptyAtr, "empty-atr", 0, "the next N card resets are answered 00 alone, without an answer to reset"},
        {Fault::AttTimeoutMs, "att-timeout-ms", att_timeout_ms,
         "BlueZ drops the link when the reader leaves a Write Request or a Read Request unanswered for N ms "
         "(default 30000, BlueZ's ATT transaction timeout; 0: never)"},
        {Fault::HeaderAnswerLast, "header-answer-last", 0,
         "the next N reads of characteristic 3 are answered after the reply's fragments have gone out, as the "
         "real bluetoothd does now and then: a reader notifies as soon as it has the read, and its fragments "
         "may overtake the read's answer"},
        {Fault::NotificationsEndAtDisconnect, "notifications-end-at-disconnect", 0,
         "the next N link losses end every notification session: Notifying turns false after the disconnect "
         "signal and nothing is enabled again at the next connection"},
        {Fault::ConnectInOneSignal, "connect-in-one-signal", 0,
         "the next N connections announce Connected and ServicesResolved true in one PropertiesChanged, before "
         "the kept notification sessions are enabled again"},
        {Fault::ManagedObjectsError, "managed-objects-error", 0,
         "on \"/\": the next N GetManagedObjects calls are answered with the error org.bluez.Error.Failed"},
        {Fault::ManagedObjectsWrongType, "managed-objects-wrong-type", 0,
         "on \"/\": the next N GetManagedObjects calls are answered with a string in place of the objects"},
        {Fault::NameGapMs, "name-gap-ms", 0,
         "on \"/\", once: the stand-in gives up the name org.bluez before it answers the next GetManagedObjects "
         "and owns it again N ms later, like a bluetoothd that stops and is started again (0: off)"},
        {Fault::RegisterApplicationError, "register-application-error", 0,
         "on \"/\": the next N RegisterApplication calls, on any adapter, are refused with "
         "org.bluez.Error.Failed without reading the application"},
    }};
    return table;
}

std::optional<Fault> fault_by_name(std::string_view name)
{
    const auto &table = fault_table();
    const auto found = std::ranges::find(table, name, &FaultInfo::name);
    if (found == table.end())
        return std::nullopt;
    return found->fault;
}

bool is_bluez_fault(Fault fault)
{
    switch (fault) {
    case Fault::WriteAnswerDelayMs:
    case Fault::FailWrite1:
    case Fault::FailWrite2:
    case Fault::FailWrite7:
    case Fault::FailRead3:
    case Fault::FailStartNotify4:
    case Fault::FailStartNotify8:
    case Fault::ConnectionIntervalUs:
    case Fault::AttTimeoutMs:
    case Fault::HeaderAnswerLast:
    case Fault::NotificationsEndAtDisconnect:
    case Fault::ConnectInOneSignal:
    case Fault::ManagedObjectsError:
    case Fault::ManagedObjectsWrongType:
    case Fault::NameGapMs:
    case Fault::RegisterApplicationError:
        return true;
    default:
        return false;
    }
}

Faults::Faults() { clear(); }

void Faults::clear()
{
    for (const auto &info : fault_table())
        set(info.fault, info.off);
}

bool Faults::armed(Fault fault) const { return value(fault) != fault_table()[index(fault)].off; }

bool Faults::take(Fault fault)
{
    int &count = values_[index(fault)];
    if (count == 0)
        return false;
    if (count > 0)
        --count;
    return true;
}

std::optional<int> Faults::take_parameter(Fault fault)
{
    if (!armed(fault))
        return std::nullopt;
    const int parameter = value(fault);
    set(fault, fault_table()[index(fault)].off);
    return parameter;
}

} // namespace pemra_sim
