// One Bluetooth adapter, "/org/bluez/hciN", with org.bluez.Adapter1 and
// org.bluez.GattManager1. RegisterApplication reads the caller's
// application back through its GetManagedObjects, as BlueZ does, records
// whether a GATT profile in it names the Pemra service, and only then
// answers. Like bluetoothd (src/gatt-database.c), the adapter calls Release
// on the GATT profiles of an application it lets go: at
// UnregisterApplication, at a registration that fails after the read, and
// when the adapter or BlueZ itself goes away.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/dbus_object.h"
#include "sim/pending_calls.h"
#include "sim/sim_context.h"

namespace pemra_sim {

struct Application {
    Glib::ustring sender;
    Glib::ustring path;
    bool names_pemra_service = false;
    std::vector<Glib::ustring> profiles; // objects with org.bluez.GattProfile1
};

Glib::ustring adapter_path(unsigned index);

class Adapter : public std::enable_shared_from_this<Adapter> {
public:
    // Removes a device of this adapter; false when there is none.
    using RemoveDevice = std::function<bool(const Glib::ustring &device)>;

    Adapter(const SimContext &context, unsigned index, RemoveDevice remove_device);
    ~Adapter();
    Adapter(const Adapter &) = delete;
    Adapter &operator=(const Adapter &) = delete;

    const Glib::ustring &path() const { return object_.path(); }
    const std::string &address() const { return address_; }
    const std::vector<Application> &applications() const { return applications_; }
    // Releases every application and forgets it.
    void release_applications(const PendingCalls &pending);

private:
    void on_adapter_call(const Glib::ustring &method, const Glib::VariantContainerBase &args,
                         const Invocation &invocation);
    void on_manager_call(const Glib::ustring &method, const Glib::VariantContainerBase &args,
                         const Invocation &invocation);
    void register_application(const Glib::ustring &application, const Invocation &invocation);
    void application_read(const Glib::ustring &sender, const Glib::ustring &application,
                          const Glib::VariantContainerBase &objects, const Invocation &invocation);
    void unregister_application(const Glib::ustring &application, const Invocation &invocation);
    void release(const Application &application, const PendingCalls &pending);
    std::vector<Application>::iterator find(const Glib::ustring &sender, const Glib::ustring &application);

    const SimContext &context_;
    std::string address_;
    RemoveDevice remove_device_;
    ExportedObject object_;
    std::vector<Application> applications_;
};

} // namespace pemra_sim
