#include "sim/reader.h"

#include "sim/interfaces.h"

namespace pemra_sim {

namespace {

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

Reader::Reader(const SimContext &context, const AdapterRef &adapter, const ReaderOptions &options)
    : adapter_(adapter),
      firmware_(options, context.keys, context.log, device_path(adapter.path, options.address),
                {[this](int number, const Bytes &value) { notify(number, value); },
                 // Behind the notifications that went before it.
                 [this] { radio_.send([this] { set_connected(false); }); }}),
      radio_(firmware_.faults()),
      objects_(
          context, adapter.path, options.address, options.name, options.layout, options.link, options.notify_size,
          [this](const Glib::ustring &method, const Invocation &invocation) { on_device_call(method, invocation); },
          [this](int number, const Glib::ustring &method, const Glib::VariantContainerBase &args,
                 const Invocation &invocation) { on_characteristic_call(number, method, args, invocation); }),
      sessions_(context.connection,
                {[this](int number) { enable_notifications(number); },
                 [this](int number) { firmware_.notifications_switched(number, false); },
                 [this](int number, bool on) { objects_.set_notifying(number, on); }}),
      requests_(firmware_.faults(),
                [this] {
                    log("att-timeout");
                    set_connected(false);
                })
{
    firmware_.set_host(adapter.address);
}

void Reader::log(const std::string &event, const std::string &detail, const Bytes &data)
{
    firmware_.log(event, detail, data);
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
    if (!fault || !firmware_.faults().take(*fault))
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
    firmware_.log_write(number, value);
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
        return firmware_.write(number, value);
    }
    const std::size_t notify_size = firmware_.notify_size();
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
    if (firmware_.faults().value(Fault::WriteAnswerDelayMs) > 0) {
        firmware_.write(number, value);
        return answer_late(std::move(answer), link_lost_before_answer(request, invocation));
    }
    radio_.send(std::move(answer), link_lost_before_answer(request, invocation));
    // The reader acts on the write as soon as it has it, before its answer
    // is on the air.
    firmware_.write(number, value);
}

void Reader::answer_late(std::function<void()> answer, std::function<void()> lost)
{
    auto timer = Glib::signal_timeout().connect(
        [this, answer, lost] {
            std::erase_if(late_answers_, [](const auto &late) { return !late.first.connected(); });
            radio_.send(answer, lost);
            return false;
        },
        static_cast<unsigned>(firmware_.faults().value(Fault::WriteAnswerDelayMs)));
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
    const Bytes value = number == 8 ? firmware_.status_value() : objects_.value(number);
    objects_.store_value(number, value);
    invocation->return_value(tuple({variant_bytes(value)}));
}

void Reader::read_header(const Invocation &invocation)
{
    const auto request = requests_.begin(3, AttRequests::Kind::Read);
    const bool answer_last = firmware_.faults().take(Fault::HeaderAnswerLast);
    firmware_.read_header([this, request, invocation, answer_last](const std::optional<Bytes> &value) {
        if (!value)
            return link_lost_before_answer(request, invocation)();
        auto answer = [this, request, invocation, value = *value] {
            radio_.send(
                [this, request, invocation, value] {
                    requests_.end(request);
                    objects_.store_value(3, value);
                    invocation->return_value(tuple({variant_bytes(value)}));
                },
                link_lost_before_answer(request, invocation));
        };
        // The reader sends its fragments right after it answered the read,
        // before this returns: the answer then goes out behind them.
        if (answer_last)
            Glib::signal_idle().connect_once(answer);
        else
            answer();
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
    firmware_.notifications_switched(number, true);
}

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
    if (firmware_.faults().take(Fault::ConnectInOneSignal)) {
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
    firmware_.link_lost();
    objects_.set_device({{"ServicesResolved", variant_bool(false)}, {"Connected", variant_bool(false)}});
    sessions_.link_lost(firmware_.faults().take(Fault::NotificationsEndAtDisconnect));
}

void Reader::set_paired(bool paired)
{
    objects_.set_device({{"Paired", variant_bool(paired)}, {"Bonded", variant_bool(paired)}});
}

void Reader::set_services_resolved(bool resolved)
{
    objects_.set_device({{"ServicesResolved", variant_bool(resolved)}});
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
    firmware_.set_notify_size(size);
    objects_.set_mtu(size);
}

} // namespace pemra_sim
