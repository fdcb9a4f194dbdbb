#include "worker/device_discovery.h"

#include <glibmm/main.h>

#include <cstdio>
#include <optional>
#include <utility>
#include <vector>

#include "bluez/diagnostics.h"
#include "device/pemra_device.h"
#include "tunnel/pemra_tunnel_service.h"
#include "worker/bt_thread.h"
#include "worker/pemra_profile.h"
#include "worker/slot_table.h"

bool checking_devs = false;

namespace {

constexpr char service_interface[] = "org.bluez.GattService1";
constexpr char device_interface[] = "org.bluez.Device1";
// After a reader leaves, another may be waiting for the slot.
constexpr unsigned rescan_delay_ms = 1000;

struct Candidate {
    std::string service_path;
    std::string device_path;
};

// The property, if present with the given type: the bus may carry anything.
std::optional<Glib::VariantBase> property_of(const InterfaceMap &object, const char *interface, const char *name,
                                            const GVariantType *type)
{
    auto found_interface = object.find(interface);
    if (found_interface == object.end())
        return std::nullopt;
    auto found = found_interface->second.find(name);
    if (found == found_interface->second.end() || !found->second.is_of_type(Glib::VariantType(type)))
        return std::nullopt;
    return found->second;
}

std::string text_of(const Glib::VariantBase &value)
{
    return g_variant_get_string(const_cast<GVariant *>(value.gobj()), nullptr);
}

// Absent or not a boolean: not ready, silently; false: not ready, saying why.
bool flag_is_true(const InterfaceMap &device, const char *name, const char *why_not)
{
    auto flag = property_of(device, device_interface, name, G_VARIANT_TYPE_BOOLEAN);
    if (!flag)
        return false;
    if (!g_variant_get_boolean(const_cast<GVariant *>(flag->gobj()))) {
        print_out("%s", why_not);
        return false;
    }
    return true;
}

std::optional<Candidate> candidate_of(const ManagedObjects &objects, const std::string &path,
                                      const InterfaceMap &interfaces)
{
    auto uuid = property_of(interfaces, service_interface, "UUID", G_VARIANT_TYPE_STRING);
    if (!uuid || text_of(*uuid) != pemra_service_uuid)
        return std::nullopt;
    print_out("%s\n", path.c_str());
    auto device = property_of(interfaces, service_interface, "Device", G_VARIANT_TYPE_OBJECT_PATH);
    if (!device)
        return std::nullopt;
    std::string device_path = text_of(*device);
    print_out("device found: %s\n", device_path.c_str());
    auto device_object = objects.find(device_path);
    if (device_object == objects.end() || !check_bt_device_ready(device_object->second))
        return std::nullopt;
    print_out("adding path\n");
    return Candidate{path, device_path};
}

void take_candidates(const ManagedObjects &objects, const std::vector<Candidate> &candidates)
{
    for (const Candidate &candidate : candidates) {
        if (!this_pemra_wanted(candidate.device_path))
            continue;
        // Throws on a failed proxy: the remaining candidates wait for the next scan.
        auto tunnel = PemraTunnelService::connect_dbus(conn, objects, candidate.service_path, candidate.device_path);
        if (tunnel)
            add_pemra(PemraDevice::create(tunnel));
    }
}

void scan()
{
    try {
        ManagedObjects objects = ObjectManagerProxy(conn, "/").get_managed_objects();
        std::vector<Candidate> candidates;
        for (const auto &[path, interfaces] : objects) {
            if (auto candidate = candidate_of(objects, path, interfaces))
                candidates.push_back(std::move(*candidate));
        }
        take_candidates(objects, candidates);
    } catch (const Glib::Error &error) {
        std::fprintf(stderr, "Exception in discovery %s\n", error.what());
    }
}

std::optional<std::size_t> slot_of(const PemraSession &dev)
{
    for (std::size_t i = 0; i < pemra_devlist.size(); ++i) {
        if (pemra_devlist[i].get() == &dev)
            return i;
    }
    return std::nullopt;
}

} // namespace

void connect_available_devices()
{
    if (enough_pemras_connected() || checking_devs)
        return;
    checking_devs = true;
    scan();
    checking_devs = false;
}

bool check_bt_device_ready(const InterfaceMap &device)
{
    if (!device.contains(device_interface))
        return false;
    return flag_is_true(device, "Connected", "not connected") &&
           flag_is_true(device, "ServicesResolved", "services not resolved") &&
           flag_is_true(device, "Paired", "device not paired");
}

bool this_pemra_wanted(const std::string &devpath)
{
    bool room = false;
    for (const auto &session : pemra_devlist) {
        if (!session)
            room = true;
        else if (session->device_path() == devpath)
            return false;
    }
    return room;
}

bool enough_pemras_connected()
{
    for (const auto &session : pemra_devlist) {
        if (!session)
            return false;
    }
    return true;
}

void add_pemra(const std::shared_ptr<PemraDevice> &dev)
{
    for (auto &slot : pemra_devlist) {
        if (slot)
            continue;
        slot = dev;
        // The slot owns the session; its signals reach us by plain reference.
        dev->signal_disconnected.connect([device = dev.get()] { pemra_disconnected(*device); });
        dev->signal_card_status_changed.connect([device = dev.get()](int status) { card_status_changed(*device, status); });
        card_status_changed(*dev, dev->card_status);
        return;
    }
}

void card_status_changed(PemraDevice &dev, int status)
{
    std::optional<std::size_t> slot = slot_of(dev);
    if (!slot)
        return;
    print_out("pemra %zu status changed %d\n", *slot, status);
    pemra_statuslist[*slot] = status;
    max_apdu_sizes[*slot] = dev.get_max_apdu_size();
}

void pemra_disconnected(PemraDevice &dev)
{
    if (std::optional<std::size_t> slot = slot_of(dev)) {
        print_out("pemra %zu disconnected\n", *slot);
        // Released from the main loop: the session is still emitting the
        // signal that brought us here.
        Glib::signal_idle().connect_once([session = std::move(pemra_devlist[*slot])] {});
        pemra_statuslist[*slot] = 0;
    }
    Glib::signal_timeout().connect_once(sigc::ptr_fun(connect_available_devices), rescan_delay_ms);
}
