#include "application/adapter_registration.h"

#include <cstdio>

#include "application/application_paths.h"
#include "bluez/gatt_manager1.h"
#include "bluez/object_manager_proxy.h"

namespace {

constexpr char adapter_interface[] = "org.bluez.Adapter1";

} // namespace

void AdapterRegistration::register_with_all(const Glib::RefPtr<Gio::DBus::Connection> &connection)
{
    ManagedObjects objects;
    try {
        objects = ObjectManagerProxy(connection, "/").get_managed_objects();
    } catch (const Glib::Error &error) {
        std::fprintf(stderr, "registering to all adapters failed: %s\n", error.what());
        return;
    }
    for (const auto &[path, interfaces] : objects) {
        if (interfaces.contains(adapter_interface))
            register_with(connection, path);
    }
}

// BlueZ's answer is asked for: on the system bus, an answer to a call that
// asked for none is refused and logged.
void AdapterRegistration::register_with(const Glib::RefPtr<Gio::DBus::Connection> &connection,
                                        const Glib::ustring &adapter)
{
    if (!registered_.insert(adapter).second)
        return;
    try {
        GattManager1(connection, adapter)
            .register_application(application_path, [this, adapter](const Glib::Error *error) {
                if (error)
                    failed(adapter, *error);
            });
    } catch (const Glib::Error &error) {
        failed(adapter, error);
    }
}

// A later event (BlueZ back, the adapter anew) tries again.
void AdapterRegistration::failed(const Glib::ustring &adapter, const Glib::Error &error)
{
    std::fprintf(stderr, "cannot register at %s: %s\n", adapter.c_str(), error.what());
    registered_.erase(adapter);
}
