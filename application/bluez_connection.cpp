#include "application/bluez_connection.h"

#include <giomm/dbuswatchname.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>

#include "application/application_paths.h"
#include "bluez/bluez_proxy.h"
#include "bluez/object_manager_proxy.h"
#include "common/diagnostics.h"
#include "common/thread_loop.h"

namespace {

constexpr char adapter_interface[] = "org.bluez.Adapter1";

// Device properties whose change to true may have made a reader ready.
constexpr const char *readiness_properties[] = {"Connected", "ServicesResolved", "Paired"};

bool became_true(const Glib::VariantBase &changed, const char *name)
{
    GVariant *value = g_variant_lookup_value(const_cast<GVariant *>(changed.gobj()), name, G_VARIANT_TYPE_BOOLEAN);
    if (!value)
        return false;
    bool is_true = g_variant_get_boolean(value);
    g_variant_unref(value);
    return is_true;
}

bool has_interface(const Glib::VariantBase &interfaces, const char *name)
{
    GVariant *found = g_variant_lookup_value(const_cast<GVariant *>(interfaces.gobj()), name, nullptr);
    if (!found)
        return false;
    g_variant_unref(found);
    return true;
}

// The system bus's address. GIO's C call: giomm's wrapper of it leaks the
// text it returns.
std::string system_bus_address()
{
    GError *error = nullptr;
    gchar *address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
    if (!address)
        throw Glib::Error(error);
    std::string text = address;
    g_free(address);
    return text;
}

// A connection of the driver's own rather than GIO's shared one: a shared
// connection that closed would be handed out again.
Glib::RefPtr<Gio::DBus::Connection> connect_system_bus()
{
    auto connection = Gio::DBus::Connection::create_for_address_sync(
        system_bus_address(),
        Gio::DBus::ConnectionFlags::AUTHENTICATION_CLIENT | Gio::DBus::ConnectionFlags::MESSAGE_BUS_CONNECTION);
    // A lost bus must never end pcscd: GIO would exit the process.
    connection->set_exit_on_close(false);
    return connection;
}

} // namespace

BluezConnection::BluezConnection(Events events) : events_(std::move(events)) {}

BluezConnection::~BluezConnection()
{
    shut_down();
}

void BluezConnection::set_up()
{
    try {
        connect_and_export();
    } catch (const Glib::Error &error) {
        std::fprintf(stderr, "error registering profile %s\n", error.what());
        shut_down();
        schedule_set_up();
        events_.unavailable();
        return;
    }
    reconnect_.succeeded();
    events_.connected(connection_);
    // The application is registered and readers are looked for once the
    // name watch reports BlueZ's owner.
    watch_bluez();
}

void BluezConnection::connect_and_export()
{
    connection_ = connect_system_bus();
    closed_handler_ = connection_->signal_closed().connect([this](bool, const Glib::Error &) { bus_closed(); });
    // Checks that the bus lets us talk to BlueZ's object manager.
    ObjectManagerProxy bluez(connection_, "/");
    profile_ = std::make_unique<PemraProfile>();
    exports_.push_back(profile_->register_object(connection_, profile_path));
    manager_ = std::make_unique<PemraProfileManager>();
    exports_.push_back(manager_->register_object(connection_, application_path));
}

void BluezConnection::watch_bluez()
{
    signals_.emplace(connection_);
    signals_->signal_device_changed.connect(sigc::mem_fun(*this, &BluezConnection::device_changed));
    signals_->signal_interfaces_added.connect(sigc::mem_fun(*this, &BluezConnection::interfaces_added));
    signals_->signal_interfaces_removed.connect(sigc::mem_fun(*this, &BluezConnection::interfaces_removed));
    // The watch's first answer says who owns the name now, and every later
    // one who owns it from then on: the one way the owner is learnt.
    name_watch_ = Gio::DBus::watch_name(
        connection_, bluez_bus_name,
        [this](const auto &, const auto &, const Glib::ustring &owner) { bluez_appeared(owner); },
        [this](const auto &, const auto &) { bluez_vanished(); });
}

// A BlueZ that is new to us (it started after the driver, together with it,
// or anew) knows nothing of the application, and adapters it showed before
// it owned its name sent no InterfacesAdded that reached us: register with
// every adapter and look for readers.
void BluezConnection::bluez_appeared(const Glib::ustring &owner)
{
    if (bluez_owner_ == owner)
        return;
    if (!bluez_owner_.empty())
        bluez_vanished();
    bluez_owner_ = owner;
    signals_->follow_owner(owner);
    print_out("bluez at %s\n", owner.c_str());
    registration_.register_with_all(connection_);
    events_.scan();
}

// A BlueZ that left the bus says nothing more about its devices; one that
// comes back knows neither the notifications nor the requests under way.
void BluezConnection::bluez_vanished()
{
    const bool had_owner = !bluez_owner_.empty();
    bluez_owner_.clear();
    signals_->follow_owner({});
    registration_.forget_all();
    if (had_owner)
        events_.bluez_gone();
    else
        events_.unavailable(); // nothing to look for until BlueZ is there
}

void BluezConnection::shut_down()
{
    reconnect_.cancel();
    closed_handler_.disconnect();
    if (name_watch_ != 0)
        Gio::DBus::unwatch_name(name_watch_);
    name_watch_ = 0;
    signals_.reset();
    for (guint registration : std::exchange(exports_, {}))
        connection_->unregister_object(registration);
    profile_.reset();
    manager_.reset();
    bluez_owner_.clear();
    registration_.forget_all();
    connection_.reset();
}

// The bus went away (it restarted, or it ends): BlueZ's links went with it.
void BluezConnection::bus_closed()
{
    print_out("bus connection lost\n");
    shut_down();
    events_.lost();
    schedule_set_up();
}

void BluezConnection::schedule_set_up()
{
    reconnect_.schedule([this] { set_up(); });
}

void BluezConnection::device_changed(const Glib::VariantBase &changed)
{
    print_out("props: %s\n", changed.print(true).c_str());
    for (const char *name : readiness_properties) {
        if (became_true(changed, name)) {
            std::fprintf(stderr, "something interesting in bt happened, rescanning\n");
            thread_loop::idle_once(events_.scan);
            return;
        }
    }
}

void BluezConnection::interfaces_added(const Glib::ustring &path, const Glib::VariantBase &interfaces)
{
    if (!has_interface(interfaces, adapter_interface))
        return;
    print_out("new interface: %s\n", path.c_str());
    registration_.register_with(connection_, path);
}

void BluezConnection::interfaces_removed(const Glib::ustring &path, const std::vector<Glib::ustring> &interfaces)
{
    if (std::ranges::any_of(interfaces, [](const Glib::ustring &name) { return name == adapter_interface; }))
        registration_.forget(path);
}
