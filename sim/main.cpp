// pemra_sim: BlueZ and Pemra readers on a private bus, for the driver's
// tests, benchmarks and demo; or, with --peripheral, one Pemra reader
// beside a real bluetoothd.
#include <csignal>
#include <cstdio>
#include <functional>
#include <iostream>
#include <stdexcept>
#include <utility>

#include <gio/gio.h>
#include <glib-unix.h>
#include <giomm/init.h>
#include <glibmm/main.h>

#include "sim/bus_name.h"
#include "sim/control.h"
#include "sim/event_log.h"
#include "sim/faults.h"
#include "sim/interfaces.h"
#include "sim/key_store.h"
#include "sim/object_tree.h"
#include "sim/options.h"
#include "sim/peripheral.h"
#include "sim/simulator.h"
#include "sim/stand_in_control.h"

namespace {

using namespace pemra_sim;

Glib::RefPtr<Gio::DBus::Connection> connect(const Options &options)
{
    if (!options.bus)
        return Gio::DBus::Connection::get_sync(Gio::DBus::BusType::SYSTEM);
    return Gio::DBus::Connection::create_for_address_sync(
        *options.bus, Gio::DBus::ConnectionFlags::AUTHENTICATION_CLIENT |
                          Gio::DBus::ConnectionFlags::MESSAGE_BUS_CONNECTION);
}

void populate(Simulator &simulator, const Options &options)
{
    std::vector<Glib::ustring> adapters;
    for (unsigned i = 0; i < options.adapters; ++i)
        adapters.push_back(simulator.add_adapter());
    for (unsigned i = 0; i < options.readers; ++i)
        simulator.add_reader(adapters.front(), simulator.defaults_for_next_reader());
    if (options.vicc_port != 0)
        simulator.relay_vicc(options.vicc_port, simulator.reader_paths().front());
}

struct RunState {
    Glib::RefPtr<Glib::MainLoop> loop;
    int status = 0;
    std::function<void()> stop;
};

void stop_on_signals(RunState &state)
{
    // Kept for the whole run: a second signal while the stand-in stops
    // changes nothing.
    auto stop = [](gpointer data) -> gboolean {
        auto &state = *static_cast<RunState *>(data);
        if (const auto begin_stopping = std::exchange(state.stop, {}))
            begin_stopping();
        return G_SOURCE_CONTINUE;
    };
    g_unix_signal_add(SIGTERM, stop, &state);
    g_unix_signal_add(SIGINT, stop, &state);
}

void fail(RunState &state)
{
    state.status = 1;
    state.loop->quit();
}

// What both modes run on: the bus and the program's name on it, the
// objects it exports, the log and the readers' key store.
struct Program {
    Program(const Options &options, std::string bus_name)
        : connection(connect(options)), name(connection, std::move(bus_name), [this] { fail(state); }),
          tree(connection, catalog, faults, name), log(options.log_capacity, options.verbose), keys(options.key_store),
          context{connection, catalog, tree, log, keys, faults}
    {
    }

    int run()
    {
        stop_on_signals(state);
        state.loop->run();
        return state.status;
    }

    RunState state{Glib::MainLoop::create(), 0, {}};
    Glib::RefPtr<Gio::DBus::Connection> connection;
    BusName name;
    const InterfaceCatalog catalog;
    // The stand-in's BlueZ's own; nobody sets them in the peripheral.
    Faults faults;
    ObjectTree tree;
    EventLog log;
    KeyStore keys;
    const SimContext context;
};

int run_stand_in(const Options &options)
{
    Program program(options, "org.bluez");
    Simulator simulator(program.context, options.reader);
    const Control control(program.context, stand_in_targets(program.context, simulator),
                          stand_in_methods(program.context, simulator));
    populate(simulator, options);

    program.name.own();
    // bluetoothd releases the applications before it leaves the bus.
    program.state.stop = [&] { simulator.release_applications([&program] { program.state.loop->quit(); }); };
    return program.run();
}

ControlTargets peripheral_targets(const std::unique_ptr<Peripheral> &peripheral)
{
    // One reader, whatever device path a method names.
    auto reader = [&peripheral](const Glib::ustring &) -> Peripheral & {
        if (!peripheral)
            throw SimError("the reader is not up yet");
        return *peripheral;
    };
    return {reader, [reader](const Glib::ustring &object) -> Faults & { return reader(object).firmware().faults(); },
            false};
}

// bluetoothd removes the application, the advertisement and the agent of
// a program that leaves the bus; the reader switches off first.
int run_peripheral(const Options &options)
{
    Program program(options, peripheral_bus_name);
    BluezCalls bluez(program.connection);
    std::unique_ptr<Peripheral> peripheral;
    const Control control(program.context, peripheral_targets(peripheral));
    auto failed = [&program](const Glib::Error &error) {
        std::fprintf(stderr, "pemra_sim: cannot be a reader: %s\n", error.what());
        fail(program.state);
    };
    find_adapter(
        bluez,
        [&](const AdapterRef &adapter) {
            peripheral = std::make_unique<Peripheral>(program.context, bluez, adapter, options.reader);
            // The control interface is there once the reader is.
            peripheral->start([&program] { program.name.own(); }, failed);
        },
        failed);
    program.state.stop = [&program, &peripheral] {
        auto quit = [&program] { program.state.loop->quit(); };
        if (!peripheral)
            return quit();
        peripheral->switch_off(quit);
    };
    return program.run();
}

int run(const Options &options)
{
    Gio::init();
    return options.peripheral ? run_peripheral(options) : run_stand_in(options);
}

} // namespace

int main(int argc, char **argv)
{
    try {
        const Options options = parse_options(std::vector<std::string>(argv + 1, argv + argc));
        if (options.help) {
            std::cout << help_text();
            return 0;
        }
        return run(options);
    } catch (const std::invalid_argument &error) {
        std::cerr << "pemra_sim: " << error.what() << "\nTry pemra_sim --help.\n";
        return 2;
    } catch (const Glib::Error &error) {
        std::cerr << "pemra_sim: " << error.what() << "\n";
        return 1;
    }
}
