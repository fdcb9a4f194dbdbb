#include "worker/bluez_connection.h"

#include <giomm/dbuswatchname.h>
#include <glibmm/main.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>

#include "bluez/gatt_manager1.h"
#include "bluez/object_manager_proxy.h"
#include "common/diagnostics.h"
#include "worker/application_paths.h"

namespace {

constexpr char adapter_interface[] = "org.bluez.Adapter1";
constexpr char device_interface[] = "org.bluez.Device1";
constexpr char object_manager_interface[] = "org.freedesktop.DBus.ObjectManager";
constexpr char properties_interface[] = "org.freedesktop.DBus.Properties";

// Device properties whose change to true may have made a reader ready.
constexpr const char *readiness_properties[] = {"Connected", "ServicesResolved", "Paired"};

// Element `index` of a signal's parameters, if it has the expected type:
// the bus may carry anything under BlueZ's name.
std::optional<Glib::VariantBase> signal_argument(const Glib::VariantContainerBase &parameters, gsize index,
                                                 const char *type)
{
    GVariant *raw = const_cast<GVariant *>(parameters.gobj());
    if (!raw || !g_variant_is_of_type(raw, G_VARIANT_TYPE_TUPLE) || g_variant_n_children(raw) <= index)
        return std::nullopt;
    Glib::VariantBase argument(g_variant_get_child_value(raw, index));
    if (!g_variant_is_of_type(argument.gobj(), G_VARIANT_TYPE(type)))
        return std::nullopt;
    return argument;
}

bool became_true(const Glib::VariantBase &changed, const char *name)
{
    GVariant *value = g_variant_lookup_value(const_cast<GVariant *>(changed.gobj()), name, G_VARIANT_TYPE_BOOLEAN);
    if (!value)
        return false;
    bool is_true = g_variant_get_boolean(value);
    g_variant_unref(value);
    return is_true;
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

void BluezConnection::setup_bus()
{
    try {
        connect_and_export();
    } catch (const Glib::Error &error) {
        std::fprintf(stderr, "error registering profile %s\n", error.what());
        shut_down();
        schedule_setup();
        events_.unavailable();
        return;
    }
    reconnect_.succeeded();
    // The application is registered and readers are looked for once the
    // name watch reports BlueZ's owner.
    subscribe_bluez_signals();
}

void BluezConnection::connect_and_export()
{
    conn = connect_system_bus();
    closed_handler_ = conn->signal_closed().connect([this](bool, const Glib::Error &) { bus_closed(); });
    // Checks that the bus lets us talk to BlueZ's object manager.
    ObjectManagerProxy bluez(conn, "/");
    profile_ = std::make_unique<PemraProfile>();
    exports_.push_back(profile_->register_object(conn, profile_path));
    manager_ = std::make_unique<PemraProfileManager>();
    exports_.push_back(manager_->register_object(conn, application_path));
}

void BluezConnection::subscribe_bluez_signals()
{
    subscriptions_.push_back(conn->signal_subscribe(
        [this](const auto &, const Glib::ustring &sender, const auto &, const auto &, const auto &,
               const Glib::VariantContainerBase &parameters) { some_bt_device_changed(sender, parameters); },
        bluez_bus_name, properties_interface, "PropertiesChanged", {}, device_interface,
        Gio::DBus::SignalFlags::MATCH_ARG0_NAMESPACE));
    subscriptions_.push_back(conn->signal_subscribe(
        [this](const auto &, const Glib::ustring &sender, const auto &, const auto &, const auto &,
               const Glib::VariantContainerBase &parameters) { bt_adapter_added(sender, parameters); },
        bluez_bus_name, object_manager_interface, "InterfacesAdded"));
    subscriptions_.push_back(conn->signal_subscribe(
        [this](const auto &, const Glib::ustring &sender, const auto &, const auto &, const auto &,
               const Glib::VariantContainerBase &parameters) { bt_adapter_removed(sender, parameters); },
        bluez_bus_name, object_manager_interface, "InterfacesRemoved"));
    // The watch's first answer says who owns the name now, and every later
    // one who owns it from then on: the one way the owner is learnt.
    name_watch_ = Gio::DBus::watch_name(
        conn, bluez_bus_name,
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
    print_out("bluez at %s\n", owner.c_str());
    register_profile_to_all_adapters();
    events_.scan();
}

void BluezConnection::bluez_vanished()
{
    const bool had_owner = !bluez_owner_.empty();
    bluez_owner_.clear();
    registered_adapters_.clear();
    // Nothing to look for until BlueZ is there.
    if (!had_owner)
        events_.unavailable();
}

void BluezConnection::shut_down()
{
    reconnect_.cancel();
    closed_handler_.disconnect();
    if (name_watch_ != 0)
        Gio::DBus::unwatch_name(name_watch_);
    name_watch_ = 0;
    for (guint subscription : std::exchange(subscriptions_, {}))
        conn->signal_unsubscribe(subscription);
    for (guint registration : std::exchange(exports_, {}))
        conn->unregister_object(registration);
    profile_.reset();
    manager_.reset();
    bluez_owner_.clear();
    registered_adapters_.clear();
    conn.reset();
}

// The bus went away (it restarted, or it ends): BlueZ's links went with it.
void BluezConnection::bus_closed()
{
    print_out("bus connection lost\n");
    shut_down();
    events_.lost();
    schedule_setup();
}

void BluezConnection::schedule_setup()
{
    reconnect_.schedule([this] { setup_bus(); });
}

bool BluezConnection::from_bluez(const Glib::ustring &sender_name) const
{
    return !bluez_owner_.empty() && sender_name == bluez_owner_;
}

void BluezConnection::register_profile_to_all_adapters()
{
    ManagedObjects objects;
    try {
        objects = ObjectManagerProxy(conn, "/").get_managed_objects();
    } catch (const Glib::Error &error) {
        std::fprintf(stderr, "registering to all adapters failed: %s\n", error.what());
        return;
    }
    for (const auto &[path, interfaces] : objects) {
        if (interfaces.contains(adapter_interface))
            register_profile_to_adapter(path);
    }
}

// Once per adapter and owner of "org.bluez": bluetoothd refuses a second
// registration of the application with AlreadyExists. BlueZ's answer is
// asked for: on the system bus, an answer to a call that asked for none is
// refused and logged.
void BluezConnection::register_profile_to_adapter(const Glib::ustring &adapter)
{
    if (!registered_adapters_.insert(adapter).second)
        return;
    try {
        GattManager1(conn, adapter).register_application(application_path, [this, adapter](const Glib::Error *error) {
            if (error)
                registration_failed(adapter, *error);
        });
    } catch (const Glib::Error &error) {
        registration_failed(adapter, error);
    }
}

// A later event (BlueZ back, the adapter anew) tries again.
void BluezConnection::registration_failed(const Glib::ustring &adapter, const Glib::Error &error)
{
    std::fprintf(stderr, "cannot register at %s: %s\n", adapter.c_str(), error.what());
    registered_adapters_.erase(adapter);
}

void BluezConnection::some_bt_device_changed(const Glib::ustring &sender_name,
                                             const Glib::VariantContainerBase &parameters)
{
    if (!from_bluez(sender_name))
        return;
    std::optional<Glib::VariantBase> changed = signal_argument(parameters, 1, "a{sv}");
    if (!changed)
        return;
    print_out("props: %s\n", changed->print(true).c_str());
    for (const char *name : readiness_properties) {
        if (became_true(*changed, name)) {
            std::fprintf(stderr, "something interesting in bt happened, rescanning\n");
            Glib::signal_idle().connect_once(events_.scan, Glib::PRIORITY_DEFAULT_IDLE);
            return;
        }
    }
}

void BluezConnection::bt_adapter_added(const Glib::ustring &sender_name,
                                       const Glib::VariantContainerBase &parameters)
{
    if (!from_bluez(sender_name))
        return;
    std::optional<Glib::VariantBase> path = signal_argument(parameters, 0, "o");
    std::optional<Glib::VariantBase> interfaces = signal_argument(parameters, 1, "a{sa{sv}}");
    if (!path || !interfaces)
        return;
    GVariant *adapter = g_variant_lookup_value(const_cast<GVariant *>(interfaces->gobj()), adapter_interface, nullptr);
    if (!adapter)
        return;
    g_variant_unref(adapter);
    const char *adapter_path = g_variant_get_string(const_cast<GVariant *>(path->gobj()), nullptr);
    print_out("new interface: %s\n", adapter_path);
    register_profile_to_adapter(adapter_path);
}

void BluezConnection::bt_adapter_removed(const Glib::ustring &sender_name,
                                         const Glib::VariantContainerBase &parameters)
{
    if (!from_bluez(sender_name))
        return;
    std::optional<Glib::VariantBase> path = signal_argument(parameters, 0, "o");
    std::optional<Glib::VariantBase> interfaces = signal_argument(parameters, 1, "as");
    if (!path || !interfaces)
        return;
    const auto names = Glib::VariantBase::cast_dynamic<Glib::Variant<std::vector<Glib::ustring>>>(*interfaces).get();
    if (std::ranges::any_of(names, [](const Glib::ustring &name) { return name == adapter_interface; }))
        registered_adapters_.erase(g_variant_get_string(const_cast<GVariant *>(path->gobj()), nullptr));
}
