#include "discovery/reader_candidates.h"

#include <optional>

#include "common/diagnostics.h"
#include "common/pemra_service.h"

namespace {

constexpr char service_interface[] = "org.bluez.GattService1";
constexpr char device_interface[] = "org.bluez.Device1";

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

bool flag_of(const InterfaceMap &device, const char *name)
{
    auto flag = property_of(device, device_interface, name, G_VARIANT_TYPE_BOOLEAN);
    return flag && g_variant_get_boolean(const_cast<GVariant *>(flag->gobj()));
}

bool is_pemra_service(const InterfaceMap &interfaces)
{
    auto uuid = property_of(interfaces, service_interface, "UUID", G_VARIANT_TYPE_STRING);
    return uuid && text_of(*uuid) == pemra_service_uuid;
}

// The device of a service object, if it names one.
std::optional<std::string> device_of(const InterfaceMap &interfaces)
{
    auto device = property_of(interfaces, service_interface, "Device", G_VARIANT_TYPE_OBJECT_PATH);
    if (!device)
        return std::nullopt;
    return text_of(*device);
}

std::optional<ReaderCandidate> candidate_of(const ManagedObjects &objects, const std::string &path,
                                            const InterfaceMap &interfaces)
{
    if (!is_pemra_service(interfaces))
        return std::nullopt;
    print_out("%s\n", path.c_str());
    const std::optional<std::string> device_path = device_of(interfaces);
    if (!device_path)
        return std::nullopt;
    print_out("device found: %s\n", device_path->c_str());
    auto device_object = objects.find(*device_path);
    if (device_object == objects.end() || !check_bt_device_ready(device_object->second))
        return std::nullopt;
    print_out("adding path\n");
    return ReaderCandidate{path, *device_path};
}

} // namespace

bool check_bt_device_ready(const InterfaceMap &device)
{
    if (!device.contains(device_interface))
        return false;
    return flag_is_true(device, "Connected", "not connected") &&
           flag_is_true(device, "ServicesResolved", "services not resolved") &&
           flag_is_true(device, "Paired", "device not paired");
}

std::vector<std::string> devices_without_services(const ManagedObjects &objects)
{
    std::vector<std::string> devices;
    for (const auto &[path, interfaces] : objects) {
        const std::optional<std::string> device_path = device_of(interfaces);
        if (!is_pemra_service(interfaces) || !device_path)
            continue;
        const auto device = objects.find(*device_path);
        if (device != objects.end() && flag_of(device->second, "Connected") &&
            !flag_of(device->second, "ServicesResolved"))
            devices.push_back(*device_path);
    }
    return devices;
}

std::vector<ReaderCandidate> find_reader_candidates(const ManagedObjects &objects)
{
    std::vector<ReaderCandidate> candidates;
    for (const auto &[path, interfaces] : objects) {
        if (auto candidate = candidate_of(objects, path, interfaces))
            candidates.push_back(std::move(*candidate));
    }
    return candidates;
}
