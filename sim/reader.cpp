#include "sim/reader.h"

#include "sim/event_log.h"
#include "sim/interfaces.h"
#include "sim/key_store.h"

namespace pemra_sim {

namespace {

constexpr std::uint8_t card_status_report = 0x01;

// The GATT faults that may hit a call, by characteristic.
std::optional<Fault> write_fault(int number)
{
    switch (number) {
    case 1:
        return Fault::FailWrite1;
    case 2:
        return Fault::FailWrite2;
    case 7:
        return Fault::FailWrite7;
    default:
        return std::nullopt;
    }
}

std::optional<Fault> start_notify_fault(int number)
{
    if (number == 4)
        return Fault::FailStartNotify4;
    if (number == 8)
        return Fault::FailStartNotify8;
    return std::nullopt;
}

// What BlueZ answers a call whose answer the link lost.
void lost_link(const Invocation &invocation)
{
    invocation->return_dbus_error(bluez_error::failed, "Not connected");
}

bool writable(int number) { return number == 1 || number == 2 || number == 7 || number == 9; }
bool readable(int number) { return number == 3 || number == 5 || number == 6; }
bool notifiable(int number) { return number == 4 || number == 8; }

} // namespace

std::string notify_size_problem(std::size_t size)
{
    if (size < min_notify_size || size > max_notify_size)
        return "the notify size must be 20 to 256";
    return {};
}

std::string size_problem(const ReaderOptions &options)
{
    if (const std::string problem = notify_size_problem(options.notify_size); !problem.empty())
        return problem;
    if (options.message_size < min_message_size || options.message_size > max_message_size)
        return "the message size must be 16 to 65535";
    return {};
}

Reader::Reader(const SimContext &context, const AdapterRef &adapter, const ReaderOptions &options)
    : context_(context), adapter_(adapter), address_(options.address), radio_(faults_),
      protocol_({options.address, options.name}, options.message_size, context.keys, faults_, context.log,
                device_path(adapter.path, options.address)),
      tunnel_(faults_,
              {[this](const Bytes &message) { return protocol_.answer(message, adapter_.address); },
               [this](const Bytes &value) { notify(4, value); },
               // Behind the notifications that went before it.
               [this] { radio_.send([this] { set_connected(false); }); },
               [this](const std::string &event, const std::string &detail, const Bytes &data) {
                   log(event, detail, data);
               }},
              options.notify_size),
      objects_(
          context, adapter.path, options.address, options.name, options.layout, options.link, options.notify_size,
          [this](const Glib::ustring &method, const Invocation &invocation) { on_device_call(method, invocation); },
          [this](int number, const Glib::ustring &method, const Glib::VariantContainerBase &args,
                 const Invocation &invocation) { on_characteristic_call(number, method, args, invocation); })
{
    protocol_.set_card_status(options.card ? card_present : card_absent);
}

void Reader::log(const std::string &event, const std::string &detail, const Bytes &data)
{
    context_.log.add(event, path(), detail, data);
}

void Reader::on_device_call(const Glib::ustring &method, const Invocation &invocation)
{
    log("device-call", method);
    if (method == "Connect" || method == "Disconnect") {
        set_connected(method == "Connect");
        invocation->return_value({});
    } else if (method == "Pair") {
        if (objects_.paired())
            return invocation->return_dbus_error(bluez_error::already_exists, "Already Exists");
        set_paired(true);
        invocation->return_value({});
    } else if (method == "CancelPairing") {
        invocation->return_dbus_error(bluez_error::does_not_exist, "Does Not Exist");
    } else {
        invocation->return_dbus_error(bluez_error::not_supported, "Operation is not supported");
    }
}

void Reader::on_characteristic_call(int number, const Glib::ustring &method, const Glib::VariantContainerBase &args,
                                    const Invocation &invocation)
{
    if (!objects_.connected())
        return invocation->return_dbus_error(bluez_error::not_connected, "Not connected");
    if (method == "WriteValue")
        write_value(number, argument<Bytes>(args, 0), invocation);
    else if (method == "ReadValue")
        read_value(number, invocation);
    else if (method == "StartNotify")
        start_notify(number, invocation);
    else if (method == "StopNotify") {
        log("stop-notify", std::to_string(number));
        objects_.set_notifying(number, false);
        invocation->return_value({});
    }
}

bool Reader::fails(std::optional<Fault> fault, const Invocation &invocation)
{
    if (!fault || !faults_.take(*fault))
        return false;
    log("fault", std::string(fault_table()[static_cast<std::size_t>(*fault)].name));
    invocation->return_dbus_error(bluez_error::failed, "Operation failed with ATT error: 0x0e");
    return true;
}

void Reader::write_value(int number, const Bytes &value, const Invocation &invocation)
{
    log(number == 9 ? "indication" : "write", std::to_string(number), value);
    if (!writable(number))
        return invocation->return_dbus_error(bluez_error::not_permitted, "Write not permitted");
    if (fails(write_fault(number), invocation))
        return;
    // The write is acknowledged before the reader acts on it, as on the air.
    radio_.send([invocation] { invocation->return_value({}); }, [invocation] { lost_link(invocation); });
    tunnel_.write(number, value);
}

void Reader::read_value(int number, const Invocation &invocation)
{
    log("read", std::to_string(number));
    if (!readable(number))
        return invocation->return_dbus_error(bluez_error::not_permitted, "Read not permitted");
    if (fails(number == 3 ? std::optional(Fault::FailRead3) : std::nullopt, invocation))
        return;
    if (number != 3)
        return invocation->return_value(tuple({variant_bytes(objects_.value(number))}));
    tunnel_.read_header([this, invocation](const std::optional<Bytes> &value) {
        if (!value)
            return lost_link(invocation);
        radio_.send(
            [this, invocation, value = *value] {
                objects_.store_value(3, value);
                invocation->return_value(tuple({variant_bytes(value)}));
            },
            [invocation] { lost_link(invocation); });
    });
}

void Reader::start_notify(int number, const Invocation &invocation)
{
    log("start-notify", std::to_string(number));
    if (!notifiable(number))
        return invocation->return_dbus_error(bluez_error::not_supported, "Operation is not supported");
    if (fails(start_notify_fault(number), invocation))
        return;
    // The reader reports its card status as soon as the host listens.
    PropertyMap extra;
    if (number == 8)
        extra["Value"] = variant_bytes(status_value());
    objects_.set_notifying(number, true, extra);
    invocation->return_value({});
}

Bytes Reader::status_value() const { return {card_status_report, protocol_.card_status()}; }

void Reader::set_connected(bool connected)
{
    if (objects_.connected() == connected)
        return;
    log(connected ? "connected" : "disconnected");
    if (connected) {
        objects_.set_device({{"Connected", variant_bool(true)}, {"ServicesResolved", variant_bool(true)}});
        return;
    }
    radio_.reset();
    tunnel_.reset();
    protocol_.end_session();
    objects_.set_device({{"ServicesResolved", variant_bool(false)}, {"Connected", variant_bool(false)}});
    objects_.set_notifying(4, false);
    objects_.set_notifying(8, false);
}

void Reader::set_paired(bool paired)
{
    objects_.set_device({{"Paired", variant_bool(paired)}, {"Bonded", variant_bool(paired)}});
}

void Reader::set_services_resolved(bool resolved)
{
    objects_.set_device({{"ServicesResolved", variant_bool(resolved)}});
}

void Reader::set_card_status(std::uint8_t status)
{
    protocol_.set_card_status(status);
    log("card-status", std::to_string(status));
    notify(8, status_value());
}

void Reader::notify(int number, const Bytes &value)
{
    radio_.send([this, number, value] {
        if (objects_.notify(number, value))
            log("notify", std::to_string(number), value);
    });
}

void Reader::set_notify_size(std::size_t size)
{
    tunnel_.set_notify_size(size);
    objects_.set_mtu(size);
}

void Reader::forget_keys()
{
    log("forget-keys");
    context_.keys.forget(address_);
}

} // namespace pemra_sim
