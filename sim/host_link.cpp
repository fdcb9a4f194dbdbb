#include "sim/host_link.h"

#include "sim/dbus_object.h"
#include "sim/interfaces.h"
#include "sim/pending_calls.h"

namespace pemra_sim {

namespace {

using ManagedObjects = std::map<Glib::DBusObjectPathString, InterfaceMap>;

constexpr char bluez_name[] = "org.bluez";

} // namespace

HostLink::HostLink(BluezCalls &bluez, Hooks hooks) : bluez_(bluez), hooks_(std::move(hooks)) {}

HostLink::~HostLink()
{
    for (const guint subscription : subscriptions_)
        bluez_.connection()->signal_unsubscribe(subscription);
}

void HostLink::start(std::function<void()> done, BluezFailure failed)
{
    // Followed before they are read, so that no change falls between.
    subscribe(iface::object_manager, "InterfacesAdded",
              [this](const Glib::ustring &, const Glib::VariantContainerBase &args) { interfaces_added(args); });
    subscribe(iface::object_manager, "InterfacesRemoved",
              [this](const Glib::ustring &, const Glib::VariantContainerBase &args) {
                  devices_.erase(argument<Glib::DBusObjectPathString>(args, 0));
              });
    subscribe(iface::properties, "PropertiesChanged",
              [this](const Glib::ustring &path, const Glib::VariantContainerBase &args) {
                  properties_changed(path, args);
              });
    bluez_.call(
        "/", iface::object_manager, "GetManagedObjects", tuple({}),
        [this, done = std::move(done)](const Glib::VariantContainerBase &reply) {
            read_objects(reply);
            done();
        },
        std::move(failed));
}

void HostLink::subscribe(const Glib::ustring &interface, const Glib::ustring &member,
                         std::function<void(const Glib::ustring &path, const Glib::VariantContainerBase &args)> handler)
{
    subscriptions_.push_back(bluez_.connection()->signal_subscribe(
        [handler = std::move(handler)](const Glib::RefPtr<Gio::DBus::Connection> &, const Glib::ustring &,
                                       const Glib::ustring &path, const Glib::ustring &, const Glib::ustring &,
                                       const Glib::VariantContainerBase &args) { handler(path, args); },
        bluez_name, interface, member));
}

void HostLink::read_objects(const Glib::VariantContainerBase &reply)
{
    for (const auto &[path, interfaces] : argument<ManagedObjects>(reply, 0)) {
        if (const auto device = interfaces.find(iface::device); device != interfaces.end())
            update(path, device->second);
    }
}

void HostLink::interfaces_added(const Glib::VariantContainerBase &args)
{
    const auto interfaces = argument<InterfaceMap>(args, 1);
    if (const auto device = interfaces.find(iface::device); device != interfaces.end())
        update(argument<Glib::DBusObjectPathString>(args, 0), device->second);
}

void HostLink::properties_changed(const Glib::ustring &path, const Glib::VariantContainerBase &args)
{
    if (argument<Glib::ustring>(args, 0) == iface::device)
        update(path, argument<PropertyMap>(args, 1));
}

void HostLink::update(const Glib::ustring &path, const PropertyMap &properties)
{
    Device &device = devices_[path];
    if (const auto address = value_of<Glib::ustring>(properties, "Address"))
        device.address = *address;
    const auto connected = value_of<bool>(properties, "Connected");
    if (!connected || *connected == device.connected)
        return;
    device.connected = *connected;
    if (*connected)
        hooks_.connected(device.address);
    else
        hooks_.disconnected(device.address);
}

std::optional<std::string> HostLink::address_of(const Glib::ustring &device) const
{
    const auto found = devices_.find(device);
    if (found == devices_.end() || found->second.address.empty())
        return std::nullopt;
    return found->second.address;
}

void HostLink::disconnect(std::function<void()> done)
{
    const PendingCalls pending = when_answered(std::move(done));
    for (const auto &[path, device] : devices_) {
        if (!device.connected)
            continue;
        const BluezFailure failed = print_failure("cannot disconnect " + device.address);
        bluez_.call(
            path, iface::device, "Disconnect", tuple({}), [pending](const Glib::VariantContainerBase &) {},
            [pending, failed](const Glib::Error &error) { failed(error); });
    }
}

} // namespace pemra_sim
