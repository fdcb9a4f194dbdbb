#include "worker/device_discovery.h"

#include <glibmm/main.h>

#include <malloc.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "bluez/diagnostics.h"
#include "device/pemra_device.h"
#include "tunnel/pemra_tunnel_service.h"
#include "worker/bt_thread.h"
#include "worker/slot_table.h"

bool checking_devs = false;

namespace {

// After a reader leaves, another may be waiting for the slot.
constexpr unsigned rescan_delay_ms = 1000;

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

void take_candidates(const ManagedObjects &objects, const std::vector<ReaderCandidate> &candidates)
{
    for (const ReaderCandidate &candidate : candidates) {
        if (!this_pemra_wanted(candidate.device_path))
            continue;
        // Throws on a failed proxy: the remaining candidates wait for the next scan.
        auto tunnel = PemraTunnelService::connect_dbus(conn, objects, candidate.service_path, candidate.device_path);
        if (tunnel)
            add_pemra(PemraDevice::create(tunnel));
    }
}

void scan()
{
    try {
        ManagedObjects objects = ObjectManagerProxy(conn, "/").get_managed_objects();
        take_candidates(objects, find_reader_candidates(objects));
    } catch (const Glib::Error &error) {
        std::fprintf(stderr, "Exception in discovery %s\n", error.what());
    }
}

std::optional<std::size_t> slot_of(const PemraSession &dev)
{
    for (std::size_t i = 0; i < pemra_devlist.size(); ++i) {
        if (pemra_devlist[i].get() == &dev)
            return i;
    }
    return std::nullopt;
}

} // namespace

void connect_available_devices()
{
    if (enough_pemras_connected() || checking_devs)
        return;
    checking_devs = true;
    scan();
    checking_devs = false;
}

bool this_pemra_wanted(const std::string &devpath)
{
    bool room = false;
    for (const auto &session : pemra_devlist) {
        if (!session)
            room = true;
        else if (session->device_path() == devpath)
            return false;
    }
    return room;
}

bool enough_pemras_connected()
{
    for (const auto &session : pemra_devlist) {
        if (!session)
            return false;
    }
    return true;
}

void add_pemra(const std::shared_ptr<PemraDevice> &dev)
{
    for (auto &slot : pemra_devlist) {
        if (slot)
            continue;
        slot = dev;
        // The slot owns the session; its signals reach us by plain reference.
        dev->signal_disconnected.connect([device = dev.get()] { pemra_disconnected(*device); });
        dev->signal_card_status_changed.connect([device = dev.get()](int status) { card_status_changed(*device, status); });
        card_status_changed(*dev, dev->card_status);
        return;
    }
}

void card_status_changed(PemraDevice &dev, int status)
{
    std::optional<std::size_t> slot = slot_of(dev);
    if (!slot)
        return;
    print_out("pemra %zu status changed %d\n", *slot, status);
    pemra_statuslist[*slot] = status;
    max_apdu_sizes[*slot] = dev.get_max_apdu_size();
}

void pemra_disconnected(PemraDevice &dev)
{
    if (std::optional<std::size_t> slot = slot_of(dev)) {
        print_out("pemra %zu disconnected\n", *slot);
        // Released from the main loop: the session is still emitting the
        // signal that brought us here.
        Glib::signal_idle().connect_once([session = std::move(pemra_devlist[*slot])]() mutable {
            release_session(std::move(session));
        });
        pemra_statuslist[*slot] = 0;
    }
    Glib::signal_timeout().connect_once(sigc::ptr_fun(connect_available_devices), rescan_delay_ms);
}
