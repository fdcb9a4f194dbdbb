#include "sim/reader_objects.h"

#include <algorithm>
#include <cstdio>

#include "sim/event_log.h"
#include "sim/interfaces.h"
#include "sim/object_tree.h"

namespace pemra_sim {

namespace {

constexpr char generic_access_uuid[] = "00001800-0000-1000-8000-00805f9b34fb";
constexpr char generic_attribute_uuid[] = "00001801-0000-1000-8000-00805f9b34fb";
constexpr char characteristic_uuid_tail[] = "-f0aa-4f13-a557-6b3f0e916803";
constexpr unsigned service_handle = 0x0010;
// Another vendor's service, after the Pemra one.
constexpr char foreign_service_uuid[] = "0000fe59-0000-1000-8000-00805f9b34fb";
constexpr unsigned foreign_service_handle = 0x0040;
// Attribute protocol header of a notification: MTU = payload + 3.
constexpr std::size_t att_header_size = 3;
constexpr std::int16_t rssi = -52;

} // namespace

std::string characteristic_uuid(int number, bool uppercase)
{
    std::string uuid = "0000000" + std::to_string(number) + characteristic_uuid_tail;
    if (uppercase)
        std::ranges::transform(uuid, uuid.begin(), [](unsigned char c) { return std::toupper(c); });
    return uuid;
}

std::vector<Glib::ustring> characteristic_flags(int number, const ServiceLayout &layout)
{
    switch (number) {
    case 1:
    case 2:
    case 7:
        return {"write"};
    case 4:
        return {"notify"};
    case 8:
        if (layout.status_readable)
            return {"read", "notify"};
        return {"notify"};
    case 9:
        return {"write-without-response"};
    default:
        return {"read"};
    }
}

namespace {

std::string handle_name(const char *prefix, unsigned handle)
{
    char name[16];
    std::snprintf(name, sizeof name, "%s%04x", prefix, handle);
    return name;
}

PropertyMap service_properties(const char *uuid, const Glib::ustring &device_path)
{
    return {{"UUID", variant_string(uuid)},
            {"Device", variant_path(device_path)},
            {"Primary", variant_bool(true)},
            {"Includes", Glib::Variant<std::vector<Glib::DBusObjectPathString>>::create({})}};
}

Glib::VariantBase mtu(std::size_t notify_size)
{
    return Glib::Variant<guint16>::create(static_cast<guint16>(notify_size + att_header_size));
}

} // namespace

bool ReaderObjects::has_flag(int number, std::string_view flag) const
{
    const auto flags = characteristic_flags(number, layout_);
    return std::ranges::find(flags, Glib::ustring(flag.data(), flag.size())) != flags.end();
}

Glib::ustring device_path(const Glib::ustring &adapter_path, const std::string &address)
{
    std::string element = "dev_" + address;
    std::ranges::replace_if(element, [](unsigned char c) { return !std::isalnum(c) && c != '_'; }, '_');
    return adapter_path + "/" + element;
}

ReaderObjects::ReaderObjects(const SimContext &context, const Glib::ustring &adapter_path,
                             const std::string &address, const std::string &name, const ServiceLayout &layout,
                             const LinkState &link, std::size_t notify_size, DeviceCall on_device,
                             CharacteristicCall on_characteristic)
    : context_(context), layout_(layout), device_(context.connection, pemra_sim::device_path(adapter_path, address)),
      service_(context.connection, device_.path() + "/" + handle_name("service", service_handle))
{
    device_.add_interface(
        context.catalog.get(iface::device),
        {{"Address", variant_string(address)},
         {"AddressType", variant_string("public")},
         {"Name", variant_string(name)},
         {"Alias", variant_string(name)},
         {"Paired", variant_bool(link.paired)},
         {"Bonded", variant_bool(link.paired)},
         {"Trusted", variant_bool(true)},
         {"Blocked", variant_bool(false)},
         {"LegacyPairing", variant_bool(false)},
         {"RSSI", Glib::Variant<gint16>::create(rssi)},
         {"Connected", variant_bool(link.connected)},
         {"UUIDs", variant_strings({generic_access_uuid, generic_attribute_uuid, pemra_service_uuid})},
         {"Adapter", variant_path(adapter_path)},
         {"ServicesResolved", variant_bool(link.connected && link.services_resolved)}},
        [on_device](const Glib::ustring &method, const Glib::VariantContainerBase &, const Invocation &invocation) {
            on_device(method, invocation);
        });
    service_.add_interface(context.catalog.get(iface::gatt_service),
                           service_properties(pemra_service_uuid, device_.path()));
    context.tree.add(device_);
    context.tree.add(service_);
    for (int number = 1; number <= characteristic_count; ++number) {
        if (layout.omitted.contains(number))
            continue;
        characteristics_[static_cast<std::size_t>(number)] = add_characteristic(
            service_, service_handle, number, layout.uppercase.contains(number), notify_size,
            [on_characteristic, number](const Glib::ustring &method, const Glib::VariantContainerBase &args,
                                        const Invocation &invocation) {
                on_characteristic(number, method, args, invocation);
            });
    }
    if (layout.foreign_service)
        add_foreign_service(notify_size);
}

std::unique_ptr<ExportedObject> ReaderObjects::add_characteristic(const ExportedObject &service,
                                                                  unsigned service_handle, int number,
                                                                  bool uppercase, std::size_t notify_size,
                                                                  MethodHandler on_call)
{
    // Declaration, value and (for notifying ones) configuration handles.
    const unsigned handle = service_handle + 1 + 3 * static_cast<unsigned>(number - 1);
    auto object = std::make_unique<ExportedObject>(context_.connection,
                                                   service.path() + "/" + handle_name("char", handle));
    object->add_interface(context_.catalog.get(iface::gatt_characteristic),
                          {{"UUID", variant_string(characteristic_uuid(number, uppercase))},
                           {"Service", variant_path(service.path())},
                           {"Value", variant_bytes({})},
                           {"Notifying", variant_bool(false)},
                           {"Flags", variant_strings(characteristic_flags(number, layout_))},
                           {"MTU", mtu(notify_size)}},
                          std::move(on_call));
    context_.tree.add(*object);
    return object;
}

void ReaderObjects::add_foreign_service(std::size_t notify_size)
{
    foreign_service_ = std::make_unique<ExportedObject>(
        context_.connection, device_.path() + "/" + handle_name("service", foreign_service_handle));
    foreign_service_->add_interface(context_.catalog.get(iface::gatt_service),
                                    service_properties(foreign_service_uuid, device_.path()));
    context_.tree.add(*foreign_service_);
    for (int number = 1; number <= characteristic_count; ++number) {
        foreign_characteristics_.push_back(add_characteristic(
            *foreign_service_, foreign_service_handle, number, false, notify_size,
            [this, number](const Glib::ustring &method, const Glib::VariantContainerBase &, const Invocation &invocation) {
                context_.log.add("foreign-call", device_.path(), method, Bytes{static_cast<std::uint8_t>(number)});
                invocation->return_dbus_error(bluez_error::not_permitted, "Not the Pemra service");
            }));
    }
}

ReaderObjects::~ReaderObjects()
{
    // BlueZ takes a device apart leaves first.
    for (auto it = foreign_characteristics_.rbegin(); it != foreign_characteristics_.rend(); ++it)
        context_.tree.remove(**it);
    if (foreign_service_)
        context_.tree.remove(*foreign_service_);
    for (auto it = characteristics_.rbegin(); it != characteristics_.rend(); ++it) {
        if (*it)
            context_.tree.remove(**it);
    }
    context_.tree.remove(service_);
    context_.tree.remove(device_);
}

bool ReaderObjects::connected() const { return device_.get<bool>(iface::device, "Connected"); }
bool ReaderObjects::paired() const { return device_.get<bool>(iface::device, "Paired"); }
bool ReaderObjects::services_resolved() const { return device_.get<bool>(iface::device, "ServicesResolved"); }

void ReaderObjects::set_device(const PropertyMap &changes) { device_.set_properties(iface::device, changes); }

ExportedObject *ReaderObjects::characteristic(int number) const
{
    if (number < 1 || number > characteristic_count)
        return nullptr;
    return characteristics_[static_cast<std::size_t>(number)].get();
}

void ReaderObjects::set_notifying(int number, bool on)
{
    if (auto *object = characteristic(number))
        object->set_properties(iface::gatt_characteristic, {{"Notifying", variant_bool(on)}});
}

void ReaderObjects::notify(int number, const Bytes &value, std::size_t times)
{
    auto *object = characteristic(number);
    for (std::size_t i = 0; object && i < times; ++i)
        object->notify_properties(iface::gatt_characteristic, {{"Value", variant_bytes(value)}});
}

void ReaderObjects::store_value(int number, const Bytes &value)
{
    if (auto *object = characteristic(number))
        object->notify_properties(iface::gatt_characteristic, {{"Value", variant_bytes(value)}});
}

Bytes ReaderObjects::value(int number) const
{
    const auto *object = characteristic(number);
    return object ? object->get<Bytes>(iface::gatt_characteristic, "Value") : Bytes{};
}

void ReaderObjects::set_mtu(std::size_t notify_size)
{
    for (auto &object : characteristics_) {
        if (object)
            object->set_properties(iface::gatt_characteristic, {{"MTU", mtu(notify_size)}});
    }
}

} // namespace pemra_sim
