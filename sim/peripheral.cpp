#include "sim/peripheral.h"

#include <cstdio>

#include <giomm/dbuserror.h>

#include "sim/event_log.h"
#include "sim/interfaces.h"

namespace pemra_sim {

namespace {

using ManagedObjects = std::map<Glib::DBusObjectPathString, InterfaceMap>;

// One step of the set-up: it calls `next` once it is done.
using Step = std::function<void(std::function<void()> next)>;

// Each step once the one before is done, then `done`.
void in_turn(std::shared_ptr<const std::vector<Step>> steps, std::size_t next, std::function<void()> done)
{
    if (next == steps->size())
        return done();
    (*steps)[next]([steps, next, done] { in_turn(steps, next + 1, done); });
}

std::optional<AdapterRef> advertising_adapter(const Glib::VariantContainerBase &reply)
{
    for (const auto &[path, interfaces] : argument<ManagedObjects>(reply, 0)) {
        const auto adapter = interfaces.find(iface::adapter);
        if (adapter == interfaces.end() || !interfaces.contains(iface::le_advertising_manager) ||
            !interfaces.contains(iface::gatt_manager))
            continue;
        if (const auto address = value_of<Glib::ustring>(adapter->second, "Address"))
            return AdapterRef{path, *address};
    }
    return std::nullopt;
}

ReaderOptions reader_on(const AdapterRef &adapter, ReaderOptions options)
{
    options.address = adapter.address;
    return options;
}

} // namespace

void find_adapter(BluezCalls &bluez, std::function<void(const AdapterRef &adapter)> found, BluezFailure failed)
{
    bluez.call(
        "/", iface::object_manager, "GetManagedObjects", tuple({}),
        [found = std::move(found), failed](const Glib::VariantContainerBase &reply) {
            if (const auto adapter = advertising_adapter(reply))
                return found(*adapter);
            failed(Gio::DBus::Error(Gio::DBus::Error::FAILED, "bluetoothd has no adapter that can advertise"));
        },
        failed);
}

Peripheral::Peripheral(const SimContext &context, BluezCalls &bluez, const AdapterRef &adapter, ReaderOptions options)
    : context_(context), bluez_(bluez), adapter_(adapter),
      firmware_(reader_on(adapter, options), context.keys, context.log, adapter.path,
                {[this](int number, const Bytes &value) { application_.notify(number, value); },
                 [this] { host_link_.disconnect(); }}),
      application_(context, firmware_, options.layout, [this](const Glib::ustring &device) { heard_from(device); }),
      advertisement_(context, bluez, adapter.path, options.name), agent_(context, bluez),
      host_link_(bluez, {[this](const std::string &address) {
                             firmware_.log("connected", address);
                             firmware_.set_host(address);
                         },
                         [this](const std::string &address) {
                             firmware_.log("disconnected", address);
                             firmware_.link_lost();
                         }})
{
}

void Peripheral::start(std::function<void()> ready, BluezFailure failed)
{
    std::vector<Step> steps;
    // Discoverable for good: bluetoothd ends it after 180 s otherwise.
    const std::pair<const char *, Glib::VariantBase> settings[] = {
        {"Powered", variant_bool(true)},
        {"Pairable", variant_bool(true)},
        {"DiscoverableTimeout", Glib::Variant<guint32>::create(0)},
        {"Discoverable", variant_bool(true)},
    };
    for (const auto &[name, value] : settings) {
        steps.push_back([this, name, value, failed](std::function<void()> next) {
            bluez_.set_property(adapter_.path, iface::adapter, name, value,
                                [next](const Glib::VariantContainerBase &) { next(); }, failed);
        });
    }
    steps.push_back([this, failed](std::function<void()> next) { host_link_.start(std::move(next), failed); });
    steps.push_back([this, failed](std::function<void()> next) {
        agent_.start(
            [this, next] {
                log_step("agent registered");
                next();
            },
            failed);
    });
    steps.push_back([this, failed](std::function<void()> next) { register_application(std::move(next), failed); });
    steps.push_back([this, failed](std::function<void()> next) { advertisement_.start(std::move(next), failed); });
    in_turn(std::make_shared<const std::vector<Step>>(std::move(steps)), 0, [this, ready = std::move(ready)] {
        log_step("advertising");
        ready();
    });
}

// bluetoothd reads the application back (GetManagedObjects on its root)
// before it answers.
void Peripheral::register_application(std::function<void()> done, const BluezFailure &failed)
{
    bluez_.call(
        adapter_.path, iface::gatt_manager, "RegisterApplication",
        tuple({variant_path(GattApplication::path), Glib::Variant<PropertyMap>::create({})}),
        [this, done = std::move(done)](const Glib::VariantContainerBase &) {
            log_step("application registered");
            done();
        },
        failed);
}

void Peripheral::set_connected(bool connected)
{
    if (!connected)
        return switch_off([] {});
    firmware_.log("advertise");
    advertisement_.start([] {}, print_failure("cannot advertise again"));
}

void Peripheral::switch_off(std::function<void()> done)
{
    firmware_.log("drop-link");
    // Not advertising first: the host would connect again at once.
    advertisement_.stop();
    host_link_.disconnect(std::move(done));
}

void Peripheral::heard_from(const Glib::ustring &device)
{
    if (const auto address = host_link_.address_of(device))
        firmware_.set_host(*address);
}

void Peripheral::log_step(const std::string &step)
{
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started_);
    firmware_.log("peripheral", step);
    std::printf("pemra_sim: %s after %lld ms (reader %s on %s)\n", step.c_str(),
                static_cast<long long>(elapsed.count()), adapter_.address.c_str(), adapter_.path.c_str());
    std::fflush(stdout);
}

} // namespace pemra_sim
