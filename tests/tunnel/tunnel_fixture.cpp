#include "tunnel_fixture.h"

#include <glibmm/main.h>

namespace {

Glib::RefPtr<Gio::DBus::Connection> system_bus()
{
    auto bus = Gio::DBus::Connection::get_sync(Gio::DBus::BusType::SYSTEM);
    bus->set_exit_on_close(false);
    return bus;
}

std::string text_of(const Glib::VariantBase &value)
{
    return g_variant_get_string(const_cast<GVariant *>(value.gobj()), nullptr);
}

} // namespace

TunnelTest::TunnelTest() : bus(system_bus()), sim(bus) {}

std::string TunnelTest::add_reader(const SimControl::ReaderOptions &options)
{
    std::string device = sim.add_reader(options);
    if (reader.empty())
        reader = device;
    return device;
}

ManagedObjects TunnelTest::managed_objects() const { return ObjectManagerProxy(bus, "/").get_managed_objects(); }

std::string TunnelTest::service_of(const std::string &device) const
{
    for (const auto &[path, interfaces] : managed_objects()) {
        const auto service = interfaces.find("org.bluez.GattService1");
        if (service != interfaces.end() && text_of(service->second.at("Device")) == device)
            return path;
    }
    return {};
}

std::string TunnelTest::address_of(const std::string &device) const
{
    return text_of(managed_objects().at(device).at("org.bluez.Device1").at("Address"));
}

std::string TunnelTest::characteristic_of(const std::string &device, int number) const
{
    const std::string service = service_of(device);
    const std::string uuid_start = "0000000" + std::to_string(number) + "-";
    for (const auto &[path, interfaces] : managed_objects()) {
        const auto characteristic = interfaces.find("org.bluez.GattCharacteristic1");
        if (characteristic != interfaces.end() && text_of(characteristic->second.at("Service")) == service
            && text_of(characteristic->second.at("UUID")).starts_with(uuid_start))
            return path;
    }
    return {};
}

std::shared_ptr<PemraTunnelService> TunnelTest::connect(const std::string &device)
{
    return PemraTunnelService::connect_dbus(bus, managed_objects(), service_of(device), device);
}

std::shared_ptr<PemraTunnelService> TunnelTest::connect_reader(const SimControl::ReaderOptions &options)
{
    auto tunnel = connect(add_reader(options));
    // The StartNotify replies' property changes reach the proxies now.
    run_for(50ms);
    sim.clear_log();
    return tunnel;
}

bool TunnelTest::run_until(const std::function<bool()> &done, std::chrono::milliseconds limit)
{
    auto context = Glib::MainContext::get_default();
    bool expired = false;
    auto timer = Glib::signal_timeout().connect(
        [&expired] {
            expired = true;
            return false;
        },
        static_cast<unsigned>(limit.count()));
    while (!done() && !expired)
        context->iteration(true);
    timer.disconnect();
    return done();
}

void TunnelTest::run_for(std::chrono::milliseconds time)
{
    run_until([] { return false; }, time);
}

TransferOutcome outcome_of(Outcome<Bytes> reply)
{
    if (!reply)
        return {true, reply.failure(), {}};
    return {true, std::nullopt, std::move(*reply)};
}

void TunnelTest::start_transfer(PemraTunnelService &tunnel, const Bytes &message, TransferOutcome &outcome)
{
    tunnel.transfer(message, [&outcome](Outcome<Bytes> reply) { outcome = outcome_of(std::move(reply)); });
}

TransferOutcome TunnelTest::transfer(PemraTunnelService &tunnel, const Bytes &message,
                                     std::chrono::milliseconds limit)
{
    TransferOutcome outcome;
    start_transfer(tunnel, message, outcome);
    run_until([&outcome] { return outcome.completed; }, limit);
    return outcome;
}

std::vector<Bytes> TunnelTest::logged(const std::string &device, const std::string &event,
                                      const std::string &detail) const
{
    std::vector<Bytes> data;
    for (const auto &entry : sim.log()) {
        if (entry.source == device && entry.event == event && entry.detail == detail)
            data.push_back(entry.data);
    }
    return data;
}

std::vector<std::string> TunnelTest::events() const
{
    std::vector<std::string> lines;
    for (const auto &entry : sim.log()) {
        if (entry.source == reader)
            lines.push_back(entry.event + " " + entry.detail);
    }
    return lines;
}
