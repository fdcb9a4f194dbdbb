#include "sim/stand_in_control.h"

#include "sim/object_tree.h"
#include "sim/reader_firmware.h"
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

Glib::VariantContainerBase add_reader(Simulator &simulator, const Glib::VariantContainerBase &args)
{
    ReaderOptions options = simulator.defaults_for_next_reader();
    for (const auto &[name, value] : argument<Options>(args, 1))
        apply_option(options, name, value);
    check(size_problem(options));
    return tuple({variant_path(simulator.add_reader(argument<Path>(args, 0), options))});
}

Glib::VariantContainerBase reader_paths(const Simulator &simulator)
{
    std::vector<Path> paths;
    for (const auto &path : simulator.reader_paths())
        paths.emplace_back(path);
    return tuple({Glib::Variant<std::vector<Path>>::create(paths)});
}

Glib::VariantContainerBase applications(const Simulator &simulator)
{
    using Entry = std::tuple<Path, Glib::ustring, Path, bool>;
    std::vector<Entry> entries;
    for (const auto &[adapter, application] : simulator.applications())
        entries.emplace_back(Path(adapter), application.sender, Path(application.path),
                             application.names_pemra_service);
    return tuple({Glib::Variant<std::vector<Entry>>::create(entries)});
}

Glib::ustring object(const Glib::VariantContainerBase &args) { return argument<Path>(args, 0); }

} // namespace

ControlTargets stand_in_targets(const SimContext &context, Simulator &simulator)
{
    return {[&simulator](const Glib::ustring &device) -> ControlledReader & { return simulator.reader(device); },
            // BlueZ's own for "/", else those of the reader with that device.
            [&context, &simulator](const Glib::ustring &object) -> Faults & {
                return object == "/" ? context.faults : simulator.reader(object).firmware().faults();
            }};
}

ControlMethods stand_in_methods(const SimContext &context, Simulator &simulator)
{
    auto reader = [&simulator](const Glib::VariantContainerBase &args) -> Reader & {
        return simulator.reader(object(args));
    };
    return {
        {"AddAdapter", [&simulator](auto &) { return tuple({variant_path(simulator.add_adapter())}); }},
        {"RemoveAdapter", action([&simulator](auto &args) { simulator.remove_adapter(object(args)); })},
        {"AddReader", [&simulator](auto &args) { return add_reader(simulator, args); }},
        {"RemoveReader", action([&simulator](auto &args) { simulator.remove_reader(object(args)); })},
        {"ListReaders", [&simulator](auto &) { return reader_paths(simulator); }},
        {"SetPaired", action([reader](auto &args) { reader(args).set_paired(argument<bool>(args, 1)); })},
        {"SetServicesResolved",
         action([reader](auto &args) { reader(args).set_services_resolved(argument<bool>(args, 1)); })},
        {"SetNotifySize",
         action([reader](auto &args) {
             const std::size_t size = argument<guint32>(args, 1);
             check(notify_size_problem(size));
             reader(args).set_notify_size(size);
         })},
        {"SetProperties",
         action([&context](auto &args) {
             context.tree.object(object(args))
                 .notify_properties(argument<Glib::ustring>(args, 1), argument<PropertyMap>(args, 2));
         })},
        {"GetApplications", [&simulator](auto &) { return applications(simulator); }},
    };
}

} // namespace pemra_sim
