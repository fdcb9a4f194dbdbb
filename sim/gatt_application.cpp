#include "sim/gatt_application.h"

#include <algorithm>

#include "sim/interfaces.h"
#include "sim/object_tree.h"
#include "sim/reader_firmware.h"
#include "sim/reply_framing.h"

namespace pemra_sim {

namespace {

constexpr char service_path[] = "/pemra";
// Attribute protocol: a notification carries MTU - 3 bytes of value.
constexpr std::size_t att_header_size = 3;

void not_supported(const Invocation &invocation)
{
    invocation->return_dbus_error(bluez_error::not_supported, "Operation is not supported");
}

} // namespace

GattApplication::GattApplication(const SimContext &context, ReaderFirmware &firmware, const ServiceLayout &layout,
                                 std::function<void(const Glib::ustring &device)> heard_from)
    : context_(context), firmware_(firmware), layout_(layout), heard_from_(std::move(heard_from)),
      service_(context.connection, service_path)
{
    service_.add_interface(context.catalog.get(iface::gatt_service),
                           {{"UUID", variant_string(pemra_service_uuid)}, {"Primary", variant_bool(true)}});
    context.tree.add(service_);
    for (int number = 1; number <= characteristic_count; ++number) {
        auto object = std::make_unique<ExportedObject>(context.connection,
                                                       service_.path() + "/char" + std::to_string(number));
        object->add_interface(context.catalog.get(iface::gatt_characteristic),
                              {{"UUID", variant_string(characteristic_uuid(number))},
                               {"Service", variant_path(service_.path())},
                               {"Flags", variant_strings(characteristic_flags(number, layout))},
                               {"Value", variant_bytes({})},
                               {"Notifying", variant_bool(false)}},
                              [this, number](const Glib::ustring &method, const Glib::VariantContainerBase &args,
                                             const Invocation &invocation) {
                                  on_call(number, method, args, invocation);
                              });
        context.tree.add(*object);
        characteristics_[static_cast<std::size_t>(number)] = std::move(object);
    }
}

GattApplication::~GattApplication()
{
    for (auto it = characteristics_.rbegin(); it != characteristics_.rend(); ++it) {
        if (*it)
            context_.tree.remove(**it);
    }
    context_.tree.remove(service_);
}

void GattApplication::on_call(int number, const Glib::ustring &method, const Glib::VariantContainerBase &args,
                              const Invocation &invocation)
{
    if (method == "StartNotify" || method == "StopNotify")
        return switch_notifications(number, method == "StartNotify", invocation);
    // Options come last: ReadValue(a{sv}), WriteValue(ay, a{sv}).
    take_options(argument<PropertyMap>(args, args.get_n_children() - 1));
    if (method == "WriteValue")
        write_value(number, argument<Bytes>(args, 0), invocation);
    else
        read_value(number, invocation);
}

void GattApplication::take_options(const PropertyMap &options)
{
    if (const auto device = value_of<Glib::DBusObjectPathString>(options, "device"))
        heard_from_(*device);
    const auto mtu = value_of<guint16>(options, "mtu");
    if (!mtu || *mtu < att_header_size)
        return;
    // The reader fills what one notification carries, within what its
    // framing can announce.
    const std::size_t notify_size = std::clamp<std::size_t>(*mtu - att_header_size, min_notify_size, max_notify_size);
    if (notify_size != firmware_.notify_size()) {
        firmware_.log("notify-size", std::to_string(notify_size));
        firmware_.set_notify_size(notify_size);
    }
}

// bluetoothd has answered a Write Command already, and answers a Write
// Request once this call returns: the reader's stack acknowledges a write
// before the reader acts on it.
void GattApplication::write_value(int number, const Bytes &value, const Invocation &invocation)
{
    firmware_.log_write(number, value);
    invocation->return_value({});
    firmware_.write(number, value);
}

void GattApplication::read_value(int number, const Invocation &invocation)
{
    firmware_.log("read", std::to_string(number));
    const auto flags = characteristic_flags(number, layout_);
    if (std::ranges::none_of(flags, [](const Glib::ustring &flag) { return flag == "read"; }))
        return not_supported(invocation);
    if (number == 3) {
        return firmware_.read_header([invocation](const std::optional<Bytes> &value) {
            if (!value)
                return invocation->return_dbus_error(bluez_error::failed, "Not connected");
            invocation->return_value(tuple({variant_bytes(*value)}));
        });
    }
    // 5 and 6 hold nothing the driver reads.
    const Bytes value = number == 8 ? firmware_.status_value() : Bytes{};
    invocation->return_value(tuple({variant_bytes(value)}));
}

void GattApplication::switch_notifications(int number, bool on, const Invocation &invocation)
{
    firmware_.log(on ? "start-notify" : "stop-notify", std::to_string(number));
    if (number != 4 && number != 8)
        return not_supported(invocation);
    notifying_[static_cast<std::size_t>(number)] = on;
    characteristic(number).set_properties(iface::gatt_characteristic, {{"Notifying", variant_bool(on)}});
    invocation->return_value({});
    firmware_.notifications_switched(number, on);
}

void GattApplication::notify(int number, const Bytes &value)
{
    if (!notifying_[static_cast<std::size_t>(number)])
        return;
    characteristic(number).notify_properties(iface::gatt_characteristic, {{"Value", variant_bytes(value)}});
    firmware_.log("notify", std::to_string(number), value);
}

} // namespace pemra_sim
