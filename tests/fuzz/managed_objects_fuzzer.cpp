// Any object tree in BlueZ's GetManagedObjects reply through the decoding of
// the map, the search for reader candidates and the discovery of their
// characteristics: nothing may crash, and whatever they pick is what the
// tree says: a candidate is a Pemra service whose device object is ready,
// and each discovered characteristic belongs to that service and carries
// its number in its UUID.
//
// Input: the reply's a{oa{sa{sv}}} in GVariant's serialised form, as it sits
// in a D-Bus message body. Bytes that are not in normal form are read as
// their normal form, as a D-Bus message would carry it.
#include <glib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "tests/fuzz/require.h"
#include "tunnel/characteristic_discovery.h"
#include "discovery/reader_candidates.h"

namespace {

constexpr char pemra_uuid[] = "723e2ee5-f0aa-4f13-a557-6b3f0e916803";

ManagedObjects decoded(const std::uint8_t *data, std::size_t size)
{
    // A copy of exactly the input's size, so that any overrun is seen.
    GBytes *bytes = g_bytes_new(data, size);
    GVariant *serialised = g_variant_new_from_bytes(G_VARIANT_TYPE("a{oa{sa{sv}}}"), bytes, FALSE);
    g_bytes_unref(bytes);
    GVariant *normal = g_variant_get_normal_form(serialised);
    g_variant_unref(serialised);
    return managed_objects_from(Glib::VariantBase(normal));
}

// The text of a property of the given type.
std::optional<std::string> text_of(const ManagedObjects &objects, const std::string &path, const char *interface,
                                   const char *name, const GVariantType *type)
{
    const auto object = objects.find(path);
    if (object == objects.end() || !object->second.contains(interface))
        return std::nullopt;
    const PropertyMap &properties = object->second.at(interface);
    const auto value = properties.find(name);
    if (value == properties.end() || !g_variant_is_of_type(const_cast<GVariant *>(value->second.gobj()), type))
        return std::nullopt;
    return g_variant_get_string(const_cast<GVariant *>(value->second.gobj()), nullptr);
}

void check_candidate(const ManagedObjects &objects, const ReaderCandidate &candidate)
{
    const auto service = [&](const char *name, const GVariantType *type) {
        return text_of(objects, candidate.service_path, "org.bluez.GattService1", name, type);
    };
    require(service("UUID", G_VARIANT_TYPE_STRING) == pemra_uuid);
    require(service("Device", G_VARIANT_TYPE_OBJECT_PATH) == candidate.device_path);
    require(check_bt_device_ready(objects.at(candidate.device_path)));
}

void check_characteristics(const ManagedObjects &objects, const std::string &service_path)
{
    const CharacteristicPaths paths = discover_characteristics(objects, service_path);
    for (std::size_t number = 0; number < paths.size(); ++number) {
        if (!paths[number])
            continue;
        const auto property = [&](const char *name, const GVariantType *type) {
            return text_of(objects, *paths[number], "org.bluez.GattCharacteristic1", name, type);
        };
        const auto owner = property("Service", G_VARIANT_TYPE_STRING);
        require((owner ? owner : property("Service", G_VARIANT_TYPE_OBJECT_PATH)) == service_path);
        const auto uuid = property("UUID", G_VARIANT_TYPE_STRING);
        require(uuid && uuid->starts_with("0000000") && uuid->size() > 7);
        require((*uuid)[7] == "0123456789"[number]);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The search and the discovery print a line per object they look at.
    require(std::freopen("/dev/null", "w", stdout) != nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const ManagedObjects objects = decoded(data, size);
    for (const ReaderCandidate &candidate : find_reader_candidates(objects)) {
        check_candidate(objects, candidate);
        check_characteristics(objects, candidate.service_path);
    }
    // Characteristics are found by their Service property, whatever the
    // object tree says of the service itself.
    if (!objects.empty())
        check_characteristics(objects, objects.begin()->first);
    return 0;
}
