#include "sim/control.h"

#include "sim/event_log.h"
#include "sim/faults.h"
#include "sim/interfaces.h"
#include "sim/reader_firmware.h"

namespace pemra_sim {

namespace {

using Path = Glib::DBusObjectPathString;

} // namespace

void check(const std::string &problem)
{
    if (!problem.empty())
        throw SimError(problem);
}

Control::Control(const SimContext &context, ControlTargets targets, ControlMethods mode_methods)
    : context_(context), targets_(std::move(targets)), methods_(common_methods()),
      object_(context.connection, control_path)
{
    methods_.merge(mode_methods);
    object_.add_interface(context.catalog.get(iface::control), {},
                          [this](const Glib::ustring &method, const Glib::VariantContainerBase &args,
                                 const Invocation &invocation) { on_call(method, args, invocation); });
}

void Control::on_call(const Glib::ustring &method, const Glib::VariantContainerBase &args,
                      const Invocation &invocation)
{
    const auto found = methods_.find(method);
    if (found == methods_.end())
        return invocation->return_dbus_error(control_error, method + " is not offered in this mode");
    try {
        invocation->return_value(found->second(args));
    } catch (const SimError &error) {
        invocation->return_dbus_error(control_error, error.what());
    } catch (const std::out_of_range &error) {
        invocation->return_dbus_error(control_error, error.what());
    }
}

ControlMethods Control::common_methods()
{
    auto reader = [this](const Glib::VariantContainerBase &args) -> ControlledReader & {
        return targets_.reader(argument<Path>(args, 0));
    };
    auto firmware = [reader](const Glib::VariantContainerBase &args) -> ReaderFirmware & {
        return reader(args).firmware();
    };
    return {
        {"SetConnected", action([reader](auto &args) { reader(args).set_connected(argument<bool>(args, 1)); })},
        {"InsertCard", action([firmware](auto &args) { firmware(args).set_card_status(card_present); })},
        {"RemoveCard", action([firmware](auto &args) { firmware(args).set_card_status(card_absent); })},
        {"SetCardStatus",
         action([firmware](auto &args) { firmware(args).set_card_status(argument<guint8>(args, 1)); })},
        {"SetFault", action([this](auto &args) { set_fault(args); })},
        {"ClearFaults", action([this](auto &args) { targets_.faults(argument<Path>(args, 0)).clear(); })},
        {"ForgetKeys", action([firmware](auto &args) { firmware(args).forget_keys(); })},
        {"GetLog", [this](auto &) { return log_entries(); }},
        {"ClearLog", action([this](auto &) { context_.log.clear(); })},
        {"GetCounters", [this](auto &) { return counters(); }},
    };
}

void Control::set_fault(const Glib::VariantContainerBase &args)
{
    const Glib::ustring name = argument<Glib::ustring>(args, 1);
    const auto fault = fault_by_name(name.raw());
    if (!fault)
        throw SimError("unknown fault " + name);
    if (!targets_.bluez_faults && is_bluez_fault(*fault))
        throw SimError(name + " is a fault of the stand-in's BlueZ; here the real bluetoothd does that");
    targets_.faults(argument<Path>(args, 0)).set(*fault, argument<gint32>(args, 2));
}

Glib::VariantContainerBase Control::log_entries() const
{
    using Entry = std::tuple<Glib::ustring, Glib::ustring, Glib::ustring, Bytes>;
    std::vector<Entry> entries;
    for (const auto &event : context_.log.events())
        entries.emplace_back(event.event, event.source, event.detail, event.data);
    return tuple({Glib::Variant<std::vector<Entry>>::create(entries)});
}

Glib::VariantContainerBase Control::counters() const
{
    std::map<Glib::ustring, guint64> counts;
    for (const auto &[event, count] : context_.log.counters())
        counts.emplace(event, count);
    return tuple({Glib::Variant<std::map<Glib::ustring, guint64>>::create(counts)});
}

} // namespace pemra_sim
