#include "worker/device_discovery.h"

#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <utility>
#include <vector>

#include "bluez/bt_device.h"
#include "common/diagnostics.h"
#include "common/thread_loop.h"
#include "device/pemra_device.h"
#include "tunnel/pemra_tunnel_service.h"

namespace {

// After a reader leaves, another may be waiting for the slot.
constexpr std::chrono::milliseconds rescan_delay{1000};

// A session leaves the worker's malloc arena strewn with small freed blocks
// (D-Bus messages, proxies, cached properties) that glibc keeps unmerged, so
// pcscd's resident size would creep up with every reconnect. Once the session
// is gone, the free memory goes back to the system.
void release_session(std::shared_ptr<PemraSession> session)
{
    session.reset();
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

std::optional<std::size_t> slot_of(const SlotTable &slots, const PemraSession &dev)
{
    for (std::size_t i = 0; i < slots.pemra_devlist.size(); ++i) {
        if (slots.pemra_devlist[i].get() == &dev)
            return i;
    }
    return std::nullopt;
}

} // namespace

DeviceDiscovery::DeviceDiscovery(SlotTable &slots, const Glib::RefPtr<Gio::DBus::Connection> &conn, Events events)
    : slots_(slots), conn_(conn), events_(std::move(events))
{
}

void DeviceDiscovery::connect_available_devices()
{
    if (enough_pemras_connected() || checking_devs || !conn_)
        return;
    checking_devs = true;
    scan();
    checking_devs = false;
}

void DeviceDiscovery::scan()
{
    try {
        ManagedObjects objects = ObjectManagerProxy(conn_, "/").get_managed_objects();
        take_candidates(objects, find_reader_candidates(objects));
        watch_unresolved(devices_without_services(objects));
    } catch (const Glib::Error &error) {
        std::fprintf(stderr, "Exception in discovery %s\n", error.what());
    }
    if (!enough_pemras_connected())
        events_.settled();
}

void DeviceDiscovery::take_candidates(const ManagedObjects &objects, const std::vector<ReaderCandidate> &candidates)
{
    for (const ReaderCandidate &candidate : candidates) {
        if (!this_pemra_wanted(candidate.device_path))
            continue;
        // Throws on a failed proxy: the remaining candidates wait for the next scan.
        auto tunnel = PemraTunnelService::connect_dbus(conn_, objects, candidate.service_path, candidate.device_path);
        if (tunnel)
            add_pemra(PemraDevice::create(tunnel));
    }
}

bool DeviceDiscovery::this_pemra_wanted(const std::string &devpath) const
{
    bool room = false;
    for (const auto &session : slots_.pemra_devlist) {
        if (!session)
            room = true;
        else if (session->device_path() == devpath)
            return false;
    }
    return room;
}

bool DeviceDiscovery::enough_pemras_connected() const
{
    for (const auto &session : slots_.pemra_devlist) {
        if (!session)
            return false;
    }
    return true;
}

void DeviceDiscovery::add_pemra(const std::shared_ptr<PemraDevice> &dev)
{
    for (auto &slot : slots_.pemra_devlist) {
        if (slot)
            continue;
        slot = dev;
        // The slot owns the session; its signals reach us by plain reference.
        dev->signal_disconnected.connect([this, device = dev.get()] { pemra_disconnected(*device); });
        dev->signal_card_status_changed.connect(
            [this, device = dev.get()](int status) { card_status_changed(*device, status); });
        dev->signal_setup_finished.connect([this](bool) { events_.settled(); });
        card_status_changed(*dev, dev->card_status);
        return;
    }
}

void DeviceDiscovery::card_status_changed(PemraDevice &dev, int status)
{
    std::optional<std::size_t> slot = slot_of(slots_, dev);
    if (!slot)
        return;
    print_out("pemra %zu status changed %d\n", *slot, status);
    slots_.record(*slot, status, dev.get_max_apdu_size());
}

void DeviceDiscovery::pemra_disconnected(PemraDevice &dev)
{
    if (std::optional<std::size_t> slot = slot_of(slots_, dev)) {
        print_out("pemra %zu disconnected\n", *slot);
        empty_slot(*slot);
    }
    thread_loop::timeout_once([this] { connect_available_devices(); }, rescan_delay);
}

// A race between bluetoothd and the kernel (seen in one reconnect in nine
// to one in three: bluetoothd fails to set the link's security and never
// attaches its GATT client) leaves a reader connected without resolved
// services, on a link that carries nothing, until something drops it. The
// services of a reader known before resolve a fraction of a second after
// the connection, even on a slow link.
void DeviceDiscovery::watch_unresolved(const std::vector<std::string> &devices)
{
    // Those resolved or gone meanwhile need no recovery.
    for (auto entry = unresolved_.begin(); entry != unresolved_.end();) {
        if (std::ranges::find(devices, entry->first) != devices.end()) {
            ++entry;
            continue;
        }
        entry->second.disconnect();
        entry = unresolved_.erase(entry);
    }
    for (const std::string &device : devices) {
        if (unresolved_.contains(device))
            continue;
        unresolved_[device] = thread_loop::timeout(
            [this, device] {
                unresolved_.erase(device);
                disconnect_if_still_unresolved(device);
                return false;
            },
            unresolved_limit);
    }
}

void DeviceDiscovery::disconnect_if_still_unresolved(const std::string &device)
{
    try {
        const std::vector<std::string> unresolved =
            devices_without_services(ObjectManagerProxy(conn_, "/").get_managed_objects());
        if (std::ranges::find(unresolved, device) == unresolved.end())
            return;
        std::fprintf(stderr, "services of %s not resolved after %lld s: connecting anew\n", device.c_str(),
                     static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(unresolved_limit).count()));
        reconnect(device);
    } catch (const Glib::Error &error) {
        std::fprintf(stderr, "Exception in discovery %s\n", error.what());
    }
}

// Disconnect stops bluetoothd from connecting the device by itself until
// Connect: the link is connected anew at once, which also lets bluetoothd
// connect it by itself again should that fail (the reader out of range).
void DeviceDiscovery::reconnect(const std::string &device)
{
    auto reader = std::make_shared<BTDevice>(conn_, device);
    reader->disconnect([reader, device](const Glib::Error *error) {
        if (error)
            std::fprintf(stderr, "cannot disconnect %s: %s\n", device.c_str(), error->what());
        reader->connect([reader, device](const Glib::Error *error) {
            if (error)
                std::fprintf(stderr, "cannot connect %s: %s\n", device.c_str(), error->what());
        });
    });
}

void DeviceDiscovery::release_all()
{
    for (auto &[device, timer] : std::exchange(unresolved_, {}))
        timer.disconnect();
    for (std::size_t slot = 0; slot < slots_.pemra_devlist.size(); ++slot) {
        if (slots_.pemra_devlist[slot])
            empty_slot(slot);
    }
}

void DeviceDiscovery::empty_slot(std::size_t slot)
{
    // Released from the main loop: the session may be emitting the signal
    // that brought us here. The maximum APDU size keeps its last value.
    thread_loop::idle_once([session = std::move(slots_.pemra_devlist[slot])]() mutable {
        release_session(std::move(session));
    });
    slots_.record_status(slot, 0);
}
