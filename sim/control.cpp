#include "sim/control.h"

#include "sim/event_log.h"
#include "sim/faults.h"
#include "sim/interfaces.h"
#include "sim/object_tree.h"
#include "sim/simulator.h"

namespace pemra_sim {

namespace {

using Path = Glib::DBusObjectPathString;
using Options = std::map<Glib::ustring, Glib::VariantBase>;

template <typename T>
T option_value(const Glib::VariantBase &value, const Glib::ustring &name)
{
    // Checked first: glibmm casts a string to bytes, whose get() then aborts.
    if (!value.is_of_type(Glib::Variant<T>::variant_type()))
        throw SimError("option " + name + " has the wrong type " + value.get_type_string());
    return Glib::VariantBase::cast_dynamic<Glib::Variant<T>>(value).get();
}

std::set<int> numbers(const Bytes &bytes) { return {bytes.begin(), bytes.end()}; }

void check(const std::string &problem)
{
    if (!problem.empty())
        throw SimError(problem);
}

// A method without results.
template <typename F>
auto action(F f)
{
    return [f](const Glib::VariantContainerBase &args) {
        f(args);
        return Glib::VariantContainerBase();
    };
}

// One AddReader option applied over the defaults.
void apply_option(ReaderOptions &options, const Glib::ustring &name, const Glib::VariantBase &value)
{
    if (name == "address")
        options.address = option_value<Glib::ustring>(value, name);
    else if (name == "name")
        options.name = option_value<Glib::ustring>(value, name);
    else if (name == "connected")
        options.link.connected = option_value<bool>(value, name);
    else if (name == "paired")
        options.link.paired = option_value<bool>(value, name);
    else if (name == "services-resolved")
        options.link.services_resolved = option_value<bool>(value, name);
    else if (name == "card")
        options.card = option_value<bool>(value, name);
    else if (name == "notify-size")
        options.notify_size = option_value<guint32>(value, name);
    else if (name == "message-size")
        options.message_size = option_value<guint32>(value, name);
    else if (name == "omit-characteristics")
        options.layout.omitted = numbers(option_value<Bytes>(value, name));
    else if (name == "uppercase-characteristics")
        options.layout.uppercase = numbers(option_value<Bytes>(value, name));
    else if (name == "foreign-service")
        options.layout.foreign_service = option_value<bool>(value, name);
    else if (name == "status-readable")
        options.layout.status_readable = option_value<bool>(value, name);
    else if (name == "status-at-switch-on")
        options.status_at_switch_on = option_value<bool>(value, name);
    else
        throw SimError("unknown reader option " + name);
}

} // namespace

Control::Control(const SimContext &context, Simulator &simulator)
    : context_(context), simulator_(simulator), methods_(methods()), object_(context.connection, control_path)
{
    object_.add_interface(context.catalog.get(iface::control), {},
                          [this](const Glib::ustring &method, const Glib::VariantContainerBase &args,
                                 const Invocation &invocation) { on_call(method, args, invocation); });
}

void Control::on_call(const Glib::ustring &method, const Glib::VariantContainerBase &args,
                      const Invocation &invocation)
{
    try {
        invocation->return_value(methods_.at(method)(args));
    } catch (const SimError &error) {
        invocation->return_dbus_error(control_error, error.what());
    } catch (const std::out_of_range &error) {
        invocation->return_dbus_error(control_error, error.what());
    }
}

std::map<Glib::ustring, Control::Method> Control::methods()
{
    auto device = [](const Glib::VariantContainerBase &args) { return Glib::ustring(argument<Path>(args, 0)); };
    auto reader = [this, device](const Glib::VariantContainerBase &args) -> Reader & {
        return simulator_.reader(device(args));
    };
    return {
        {"AddAdapter", [this](auto &) { return tuple({variant_path(simulator_.add_adapter())}); }},
        {"RemoveAdapter", action([this, device](auto &args) { simulator_.remove_adapter(device(args)); })},
        {"AddReader", [this](auto &args) { return add_reader(args); }},
        {"RemoveReader", action([this, device](auto &args) { simulator_.remove_reader(device(args)); })},
        {"ListReaders",
         [this](auto &) {
             std::vector<Path> paths;
             for (const auto &path : simulator_.reader_paths())
                 paths.emplace_back(path);
             return tuple({Glib::Variant<std::vector<Path>>::create(paths)});
         }},
        {"SetConnected", action([reader](auto &args) { reader(args).set_connected(argument<bool>(args, 1)); })},
        {"SetPaired", action([reader](auto &args) { reader(args).set_paired(argument<bool>(args, 1)); })},
        {"SetServicesResolved",
         action([reader](auto &args) { reader(args).set_services_resolved(argument<bool>(args, 1)); })},
        {"InsertCard", action([reader](auto &args) { reader(args).set_card_status(card_present); })},
        {"RemoveCard", action([reader](auto &args) { reader(args).set_card_status(card_absent); })},
        {"SetCardStatus", action([reader](auto &args) { reader(args).set_card_status(argument<guint8>(args, 1)); })},
        {"SetNotifySize",
         action([reader](auto &args) {
             const std::size_t size = argument<guint32>(args, 1);
             check(notify_size_problem(size));
             reader(args).set_notify_size(size);
         })},
        {"SetProperties",
         action([this](auto &args) {
             context_.tree.object(argument<Path>(args, 0))
                 .notify_properties(argument<Glib::ustring>(args, 1), argument<PropertyMap>(args, 2));
         })},
        {"SetFault", action([this](auto &args) { set_fault(args); })},
        {"ClearFaults", action([this](auto &args) { faults_of(argument<Path>(args, 0)).clear(); })},
        {"ForgetKeys", action([reader](auto &args) { reader(args).forget_keys(); })},
        {"GetLog", [this](auto &) { return log_entries(); }},
        {"ClearLog", action([this](auto &) { context_.log.clear(); })},
        {"GetCounters", [this](auto &) { return counters(); }},
        {"GetApplications", [this](auto &) { return applications(); }},
    };
}

Glib::VariantContainerBase Control::add_reader(const Glib::VariantContainerBase &args)
{
    ReaderOptions options = simulator_.defaults_for_next_reader();
    for (const auto &[name, value] : argument<Options>(args, 1))
        apply_option(options, name, value);
    check(size_problem(options));
    return tuple({variant_path(simulator_.add_reader(argument<Path>(args, 0), options))});
}

void Control::set_fault(const Glib::VariantContainerBase &args)
{
    const Glib::ustring name = argument<Glib::ustring>(args, 1);
    const auto fault = fault_by_name(name.raw());
    if (!fault)
        throw SimError("unknown fault " + name);
    faults_of(argument<Path>(args, 0)).set(*fault, argument<gint32>(args, 2));
}

Faults &Control::faults_of(const Glib::ustring &object)
{
    return object == "/" ? context_.faults : simulator_.reader(object).faults();
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

Glib::VariantContainerBase Control::applications() const
{
    using Entry = std::tuple<Path, Glib::ustring, Path, bool>;
    std::vector<Entry> entries;
    for (const auto &[adapter, application] : simulator_.applications())
        entries.emplace_back(Path(adapter), application.sender, Path(application.path),
                             application.names_pemra_service);
    return tuple({Glib::Variant<std::vector<Entry>>::create(entries)});
}

} // namespace pemra_sim
