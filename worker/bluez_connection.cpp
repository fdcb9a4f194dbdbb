#include "worker/bluez_connection.h"

#include <giomm/dbuswatchname.h>
#include <glibmm/main.h>

#include <cstdio>
#include <memory>
#include <utility>

#include "bluez/diagnostics.h"
#include "bluez/gatt_manager1.h"
#include "bluez/object_manager_proxy.h"
#include "worker/application_paths.h"
#include "worker/bt_thread.h"
#include "worker/device_discovery.h"
#include "worker/pemra_profile.h"
#include "worker/pemra_profile_manager.h"

namespace {

constexpr char adapter_interface[] = "org.bluez.Adapter1";
constexpr char device_interface[] = "org.bluez.Device1";
constexpr char object_manager_interface[] = "org.freedesktop.DBus.ObjectManager";
constexpr char properties_interface[] = "org.freedesktop.DBus.Properties";

// Device properties whose change to true may have made a reader ready.
constexpr const char *readiness_properties[] = {"Connected", "ServicesResolved", "Paired"};

void export_application(const Glib::RefPtr<Gio::DBus::Connection> &connection)
{
    std::make_shared<PemraProfile>()->register_object(connection, profile_path);
    std::make_shared<PemraProfileManager>()->register_object(connection, application_path);
}

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

std::string text_of(const Glib::VariantBase &value)
{
    return value.print(true).raw();
}

// "org.bluez" has had no owner since it last had one.
bool bluez_gone = false;

void bluez_vanished(const Glib::RefPtr<Gio::DBus::Connection> &, Glib::ustring) { bluez_gone = true; }

// A BlueZ that comes back (bluetoothd restarted) has forgotten the
// application, and adapters it shows before it owns its name send no
// InterfacesAdded that reaches us: register anew and look for readers.
void bluez_appeared(const Glib::RefPtr<Gio::DBus::Connection> &, Glib::ustring, const Glib::ustring &)
{
    if (!std::exchange(bluez_gone, false))
        return;
    print_out("bluez back\n");
    register_profile_to_all_adapters();
    connect_available_devices();
}

void report_registration_failure(const Glib::ustring &adapter, const Glib::Error &error)
{
    std::fprintf(stderr, "cannot register at %s: %s\n", adapter.c_str(), error.what());
}

} // namespace

bool setup_bus()
{
    try {
        Glib::RefPtr<Gio::DBus::Connection> connection =
            Gio::DBus::Connection::get_sync(Gio::DBus::BusType::SYSTEM);
        // A lost bus must never end pcscd: GIO would exit the process.
        connection->set_exit_on_close(false);
        conn = connection;
        // Checks that the bus lets us talk to BlueZ's object manager.
        ObjectManagerProxy bluez(conn, "/");
        export_application(conn);
        register_profile_to_all_adapters();
        return true;
    } catch (const Glib::Error &error) {
        std::fprintf(stderr, "error registering profile %s\n", error.what());
        conn.reset();
        return false;
    }
}

void subscribe_bluez_signals()
{
    conn->signal_subscribe(sigc::ptr_fun(some_bt_device_changed), bluez_bus_name, properties_interface,
                           "PropertiesChanged", {}, device_interface,
                           Gio::DBus::SignalFlags::MATCH_ARG0_NAMESPACE);
    conn->signal_subscribe(sigc::ptr_fun(bt_adapter_added), bluez_bus_name, object_manager_interface,
                           "InterfacesAdded");
    Gio::DBus::watch_name(conn, bluez_bus_name, sigc::ptr_fun(bluez_appeared), sigc::ptr_fun(bluez_vanished));
}

void register_profile_to_all_adapters()
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

// BlueZ's answer is asked for: on the system bus, an answer to a call that
// asked for none is refused and logged as a rejected message.
void register_profile_to_adapter(const Glib::ustring &adapter)
{
    try {
        GattManager1(conn, adapter).register_application(application_path, [adapter](const Glib::Error *error) {
            if (error)
                report_registration_failure(adapter, *error);
        });
    } catch (const Glib::Error &error) {
        report_registration_failure(adapter, error);
    }
}

void some_bt_device_changed(const Glib::RefPtr<Gio::DBus::Connection> &, const Glib::ustring &,
                            const Glib::ustring &, const Glib::ustring &, const Glib::ustring &,
                            const Glib::VariantContainerBase &parameters)
{
    std::optional<Glib::VariantBase> changed = signal_argument(parameters, 1, "a{sv}");
    if (!changed)
        return;
    print_out("props: %s\n", text_of(*changed).c_str());
    for (const char *name : readiness_properties) {
        if (became_true(*changed, name)) {
            std::fprintf(stderr, "something interesting in bt happened, rescanning\n");
            Glib::signal_idle().connect_once(sigc::ptr_fun(connect_available_devices), Glib::PRIORITY_DEFAULT_IDLE);
            return;
        }
    }
}

void bt_adapter_added(const Glib::RefPtr<Gio::DBus::Connection> &, const Glib::ustring &, const Glib::ustring &,
                      const Glib::ustring &, const Glib::ustring &, const Glib::VariantContainerBase &parameters)
{
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
