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

void not_supported(const Invocation &invocation)
{
    invocation->return_dbus_error(bluez_error::not_supported, "Operation is not supported");
}

// Attribute protocol: a Write Request carries MTU - 3 bytes of value, a
// Prepare Write MTU - 5; the notify size is MTU - 3.
constexpr std::size_t prepare_write_overhead = 2;

std::size_t prepare_writes(std::size_t size, std::size_t notify_size)
{
    const std::size_t per_write = notify_size - prepare_write_overhead;
    return (size + per_write - 1) / per_write;
}

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
                 const Invocation &invocation) { on_characteristic_call(number, method, args, invocation); }),
      sessions_(context.connection, {[this](int number) { enable_notifications(number); },
                                     [this](int number) { disable_notifications(number); },
                                     [this](int number, bool on) { objects_.set_notifying(number, on); }}),
      requests_(faults_,
                [this] {
                    log("att-timeout");
                    set_connected(false);
                }),
      status_at_switch_on_(options.status_at_switch_on)
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
    if (method == "StartNotify")
        return start_notify(number, invocation);
    if (method == "StopNotify")
        return stop_notify(number, invocation);
    // bluetoothd has no GATT client for a disconnected device (src/gatt-client.c).
    if (!objects_.connected())
        return invocation->return_dbus_error(bluez_error::failed, "Not connected");
    if (method == "WriteValue")
        write_value(number, argument<Bytes>(args, 0), invocation);
    else if (method == "ReadValue")
        read_value(number, invocation);
}

bool Reader::fails(std::optional<Fault> fault, const Invocation &invocation)
{
    if (!fault || !faults_.take(*fault))
        return false;
    log("fault", std::string(fault_table()[static_cast<std::size_t>(*fault)].name));
    invocation->return_dbus_error(bluez_error::failed, "Operation failed with ATT error: 0x0e");
    return true;
}

// bluetoothd picks the write from the characteristic's flags and the size
// (src/gatt-client.c): a Write Request when "write" is there and the value
// fits, a long write above that, else a Write Command, which is answered as
// soon as it is queued.
void Reader::write_value(int number, const Bytes &value, const Invocation &invocation)
{
    log(number == 9 ? "indication" : "write", std::to_string(number), value);
    const bool request = objects_.has_flag(number, "write");
    if (!request && !objects_.has_flag(number, "write-without-response"))
        return not_supported(invocation);
    // A second Write Request on a characteristic is refused, not queued.
    if (request && requests_.writing(number))
        return invocation->return_dbus_error(bluez_error::in_progress, "In Progress");
    if (fails(write_fault(number), invocation))
        return;
    if (!request) {
        invocation->return_value({});
        return tunnel_.write(number, value);
    }
    const std::size_t notify_size = tunnel_.notify_size();
    write_request(number, value, value.size() > notify_size ? prepare_writes(value.size(), notify_size) : 0,
                  invocation);
}

void Reader::write_request(int number, const Bytes &value, std::size_t prepare_writes, const Invocation &invocation)
{
    const auto request = requests_.begin(number, AttRequests::Kind::Write);
    // Each answer takes a PDU of its own: the Prepare Writes', then the
    // Execute Write's or the Write Request's, which completes the call.
    for (std::size_t i = 0; i < prepare_writes; ++i)
        radio_.send([] {});
    auto answer = [this, request, invocation] {
        requests_.end(request);
        invocation->return_value({});
    };
    if (faults_.value(Fault::WriteAnswerDelayMs) > 0) {
        tunnel_.write(number, value);
        return answer_late(std::move(answer), link_lost_before_answer(request, invocation));
    }
    radio_.send(std::move(answer), link_lost_before_answer(request, invocation));
    // The reader acts on the write as soon as it has it, before its answer
    // is on the air.
    tunnel_.write(number, value);
}

void Reader::answer_late(std::function<void()> answer, std::function<void()> lost)
{
    auto timer = Glib::signal_timeout().connect(
        [this, answer, lost] {
            std::erase_if(late_answers_, [](const auto &late) { return !late.first.connected(); });
            radio_.send(answer, lost);
            return false;
        },
        static_cast<unsigned>(faults_.value(Fault::WriteAnswerDelayMs)));
    late_answers_.emplace_back(timer, std::move(lost));
}

void Reader::read_value(int number, const Invocation &invocation)
{
    log("read", std::to_string(number));
    if (!objects_.has_flag(number, "read"))
        return not_supported(invocation);
    if (fails(number == 3 ? std::optional(Fault::FailRead3) : std::nullopt, invocation))
        return;
    if (number == 3)
        return read_header(invocation);
    const Bytes value = number == 8 ? status_value() : objects_.value(number);
    objects_.store_value(number, value);
    invocation->return_value(tuple({variant_bytes(value)}));
}

void Reader::read_header(const Invocation &invocation)
{
    const auto request = requests_.begin(3, AttRequests::Kind::Read);
    tunnel_.read_header([this, request, invocation](const std::optional<Bytes> &value) {
        if (!value)
            return link_lost_before_answer(request, invocation)();
        radio_.send(
            [this, request, invocation, value = *value] {
                requests_.end(request);
                objects_.store_value(3, value);
                invocation->return_value(tuple({variant_bytes(value)}));
            },
            link_lost_before_answer(request, invocation));
    });
}

std::function<void()> Reader::link_lost_before_answer(AttRequests::Id request, const Invocation &invocation)
{
    // bluetoothd fails a call whose answer the link lost.
    return [this, request, invocation] {
        requests_.end(request);
        invocation->return_dbus_error(bluez_error::failed, "Not connected");
    };
}

void Reader::start_notify(int number, const Invocation &invocation)
{
    log("start-notify", std::to_string(number));
    if (!objects_.has_flag(number, "notify"))
        return not_supported(invocation);
    if (objects_.connected() && fails(start_notify_fault(number), invocation))
        return;
    sessions_.start(number, invocation, objects_.connected());
}

void Reader::stop_notify(int number, const Invocation &invocation)
{
    log("stop-notify", std::to_string(number));
    sessions_.stop(number, invocation);
}

void Reader::enable_notifications(int number)
{
    radio_.send([this, number] { sessions_.enabled(number); });
    if (number != 8)
        return;
    // The reader reports its card status as soon as the host listens, or,
    // built on BlueZ, only when the switch was off.
    const bool switched_on = !std::exchange(status_switch_on_, true);
    if (switched_on || !status_at_switch_on_)
        notify(8, status_value());
}

void Reader::disable_notifications(int number)
{
    if (number == 8)
        status_switch_on_ = false;
}

Bytes Reader::status_value() const { return {card_status_report, protocol_.card_status()}; }

void Reader::set_connected(bool connected)
{
    if (objects_.connected() == connected)
        return;
    log(connected ? "connected" : "disconnected");
    if (connected)
        connect();
    else
        disconnect();
}

// bluetoothd announces Connected alone, enables the kept notification
// sessions again (src/gatt-client.c, btd_gatt_client_connected) and sets
// ServicesResolved once GATT is ready, in a signal of its own
// (src/device.c): behind what the reader sends when its notifications are
// enabled again.
void Reader::connect()
{
    if (faults_.take(Fault::ConnectInOneSignal)) {
        objects_.set_device({{"Connected", variant_bool(true)}, {"ServicesResolved", variant_bool(true)}});
        return sessions_.connected();
    }
    objects_.set_device({{"Connected", variant_bool(true)}});
    sessions_.connected();
    radio_.send([this] { objects_.set_device({{"ServicesResolved", variant_bool(true)}}); });
}

// bluetoothd announces a disconnect in one signal (src/device.c) and keeps
// the notification sessions (src/gatt-client.c).
void Reader::disconnect()
{
    for (auto &[timer, lost] : std::exchange(late_answers_, {})) {
        if (timer.connected()) {
            timer.disconnect();
            lost();
        }
    }
    requests_.reset();
    radio_.reset();
    tunnel_.reset();
    protocol_.end_session();
    objects_.set_device({{"ServicesResolved", variant_bool(false)}, {"Connected", variant_bool(false)}});
    sessions_.link_lost(faults_.take(Fault::NotificationsEndAtDisconnect));
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
        // bluetoothd announces a notification once per session (src/gatt-client.c).
        const std::size_t sessions = sessions_.listeners(number);
        if (sessions == 0)
            return;
        objects_.notify(number, value, sessions);
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
