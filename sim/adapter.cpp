#include "sim/adapter.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include <giomm/asyncresult.h>

#include "sim/event_log.h"
#include "sim/faults.h"
#include "sim/interfaces.h"
#include "sim/object_tree.h"

namespace pemra_sim {

namespace {

using ManagedObjects = std::map<Glib::DBusObjectPathString, InterfaceMap>;

// A laptop's controller: class "computer".
constexpr guint32 adapter_class = 0x00010C;

std::string adapter_address(unsigned index)
{
    char address[18];
    std::snprintf(address, sizeof address, "00:1A:7D:DA:71:%02X", index & 0xFF);
    return address;
}

// How long BlueZ waits for a profile to answer Release.
constexpr int release_timeout_ms = 2000;

std::vector<Glib::ustring> profile_uuids(const PropertyMap &profile)
{
    using Strings = std::vector<Glib::ustring>;
    const auto uuids = profile.find("UUIDs");
    if (uuids == profile.end() || !uuids->second.is_of_type(Glib::Variant<Strings>::variant_type()))
        return {};
    return Glib::VariantBase::cast_dynamic<Glib::Variant<Strings>>(uuids->second).get();
}

// What a registration finds when it reads the application back.
struct ApplicationContents {
    std::vector<Glib::ustring> profiles;
    bool names_pemra_service = false;
    // bluetoothd takes an application with a service or a profile, every
    // profile naming at least one UUID (src/gatt-database.c).
    bool valid = false;
};

ApplicationContents read_contents(const Glib::VariantContainerBase &reply)
{
    ApplicationContents contents;
    bool services = false;
    bool profiles_named = true;
    try {
        for (const auto &[object, interfaces] : argument<ManagedObjects>(reply, 0)) {
            services = services || interfaces.contains(iface::gatt_service);
            const auto profile = interfaces.find(iface::gatt_profile);
            if (profile == interfaces.end())
                continue;
            contents.profiles.emplace_back(object);
            const auto uuids = profile_uuids(profile->second);
            profiles_named = profiles_named && !uuids.empty();
            contents.names_pemra_service = contents.names_pemra_service ||
                std::ranges::find(uuids, Glib::ustring(pemra_service_uuid)) != uuids.end();
        }
    } catch (const std::bad_cast &) {
        return {};
    }
    contents.valid = (services || !contents.profiles.empty()) && profiles_named;
    return contents;
}

} // namespace

Glib::ustring adapter_path(unsigned index) { return "/org/bluez/hci" + std::to_string(index); }

Adapter::Adapter(const SimContext &context, unsigned index, RemoveDevice remove_device)
    : context_(context), address_(adapter_address(index)), remove_device_(std::move(remove_device)),
      object_(context.connection, adapter_path(index))
{
    const std::string name = "pemra-sim #" + std::to_string(index);
    object_.add_interface(context.catalog.get(iface::adapter),
                          {{"Address", variant_string(address_)},
                           {"AddressType", variant_string("public")},
                           {"Name", variant_string(name)},
                           {"Alias", variant_string(name)},
                           {"Class", Glib::Variant<guint32>::create(adapter_class)},
                           {"Powered", variant_bool(true)},
                           {"Discoverable", variant_bool(false)},
                           {"DiscoverableTimeout", Glib::Variant<guint32>::create(180)},
                           {"Pairable", variant_bool(true)},
                           {"PairableTimeout", Glib::Variant<guint32>::create(0)},
                           {"Discovering", variant_bool(false)},
                           {"UUIDs", variant_strings({})},
                           {"Modalias", variant_string("usb:v1D6Bp0246d0542")}},
                          [this](const Glib::ustring &method, const Glib::VariantContainerBase &args,
                                 const Invocation &invocation) { on_adapter_call(method, args, invocation); });
    object_.add_interface(context.catalog.get(iface::gatt_manager), {},
                          [this](const Glib::ustring &method, const Glib::VariantContainerBase &args,
                                 const Invocation &invocation) { on_manager_call(method, args, invocation); });
    context.tree.add(object_);
}

Adapter::~Adapter() { context_.tree.remove(object_); }

void Adapter::on_adapter_call(const Glib::ustring &method, const Glib::VariantContainerBase &args,
                              const Invocation &invocation)
{
    if (method == "RemoveDevice") {
        if (!remove_device_(argument<Glib::DBusObjectPathString>(args, 0)))
            return invocation->return_dbus_error(bluez_error::does_not_exist, "Does Not Exist");
    } else {
        object_.set_properties(iface::adapter, {{"Discovering", variant_bool(method == "StartDiscovery")}});
    }
    invocation->return_value({});
}

void Adapter::on_manager_call(const Glib::ustring &method, const Glib::VariantContainerBase &args,
                              const Invocation &invocation)
{
    const Glib::ustring application = argument<Glib::DBusObjectPathString>(args, 0);
    if (method == "RegisterApplication")
        register_application(application, invocation);
    else
        unregister_application(application, invocation);
}

std::vector<Application>::iterator Adapter::find(const Glib::ustring &sender, const Glib::ustring &application)
{
    return std::ranges::find_if(applications_, [&](const Application &known) {
        return known.sender == sender && known.path == application;
    });
}

void Adapter::register_application(const Glib::ustring &application, const Invocation &invocation)
{
    const Glib::ustring sender = invocation->get_sender();
    context_.log.add("register-application", path(), sender + " " + application);
    if (context_.faults.take(Fault::RegisterApplicationError))
        return invocation->return_dbus_error(bluez_error::failed, "Failed to register application");
    if (find(sender, application) != applications_.end())
        return invocation->return_dbus_error(bluez_error::already_exists, "Already Exists");

    const std::weak_ptr<Adapter> weak = weak_from_this();
    auto connection = context_.connection;
    connection->call(
        application, iface::object_manager, "GetManagedObjects", tuple({}),
        [weak, connection, sender, application, invocation](Glib::RefPtr<Gio::AsyncResult> &result) {
            try {
                const auto objects = connection->call_finish(result);
                if (const auto self = weak.lock())
                    return self->application_read(sender, application, objects, invocation);
                invocation->return_dbus_error(bluez_error::failed, "Adapter removed");
            } catch (const Glib::Error &error) {
                if (const auto self = weak.lock())
                    self->context_.log.add("application-read", self->path(), std::string("failed: ") + error.what());
                invocation->return_dbus_error(bluez_error::failed, "Failed to read application");
            }
        },
        sender);
}

void Adapter::application_read(const Glib::ustring &sender, const Glib::ustring &application,
                               const Glib::VariantContainerBase &reply, const Invocation &invocation)
{
    ApplicationContents contents = read_contents(reply);
    context_.log.add("application-read", path(), contents.names_pemra_service ? "pemra-service" : "no-pemra-service");
    Application read{sender, application, contents.names_pemra_service, std::move(contents.profiles)};
    if (!contents.valid) {
        release(read, {});
        return invocation->return_dbus_error(bluez_error::invalid_arguments, "No valid service or profile");
    }
    applications_.push_back(std::move(read));
    invocation->return_value({});
}

void Adapter::unregister_application(const Glib::ustring &application, const Invocation &invocation)
{
    const Glib::ustring sender = invocation->get_sender();
    context_.log.add("unregister-application", path(), sender + " " + application);
    const auto known = find(sender, application);
    if (known == applications_.end())
        return invocation->return_dbus_error(bluez_error::does_not_exist, "Does Not Exist");
    release(*known, {});
    applications_.erase(known);
    invocation->return_value({});
}

void Adapter::release_applications(const PendingCalls &pending)
{
    for (const auto &application : std::exchange(applications_, {}))
        release(application, pending);
}

void Adapter::release(const Application &application, const PendingCalls &pending)
{
    EventLog &log = context_.log;
    for (const auto &profile : application.profiles) {
        const Glib::ustring call = application.sender + " " + profile;
        auto connection = context_.connection;
        connection->call(
            profile, iface::gatt_profile, "Release", tuple({}),
            [&log, connection, adapter = path(), call, pending](Glib::RefPtr<Gio::AsyncResult> &result) {
                try {
                    connection->call_finish(result);
                    log.add("release", adapter, call + " ok");
                } catch (const Glib::Error &error) {
                    log.add("release", adapter, call + " failed: " + error.what());
                }
            },
            application.sender, release_timeout_ms);
    }
}

} // namespace pemra_sim
