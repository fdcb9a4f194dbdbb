#include "discovery/reader_discovery.h"

#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <utility>

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

} // namespace

ReaderDiscovery::ReaderDiscovery(Events events) : events_(std::move(events)) {}

ReaderDiscovery::~ReaderDiscovery()
{
    stop();
}

// Scans are synchronous: no second one can start while one runs.
void ReaderDiscovery::scan()
{
    if (all_slots_taken() || !connection_)
        return;
    try {
        ManagedObjects objects = ObjectManagerProxy(connection_, "/").get_managed_objects();
        take_candidates(objects, find_reader_candidates(objects));
        watch_unresolved(devices_without_services(objects));
    } catch (const Glib::Error &error) {
        std::fprintf(stderr, "Exception in discovery %s\n", error.what());
    }
    if (!all_slots_taken())
        events_.settled();
}

void ReaderDiscovery::take_candidates(const ManagedObjects &objects, const std::vector<ReaderCandidate> &candidates)
{
    for (const ReaderCandidate &candidate : candidates) {
        if (!wanted(candidate.device_path))
            continue;
        // Throws on a failed proxy: the remaining candidates wait for the next scan.
        auto tunnel =
            PemraTunnelService::connect_dbus(connection_, objects, candidate.service_path, candidate.device_path);
        if (tunnel)
            add(PemraDevice::create(tunnel));
    }
}

// A free slot exists and the device is in none of them.
bool ReaderDiscovery::wanted(const std::string &device_path) const
{
    bool room = false;
    for (const auto &session : sessions_) {
        if (!session)
            room = true;
        else if (session->device_path() == device_path)
            return false;
    }
    return room;
}

bool ReaderDiscovery::all_slots_taken() const
{
    return std::ranges::all_of(sessions_, [](const auto &session) { return static_cast<bool>(session); });
}

void ReaderDiscovery::add(const std::shared_ptr<PemraDevice> &session)
{
    const auto free = std::ranges::find(sessions_, nullptr);
    if (free == sessions_.end())
        return;
    *free = session;
    // The slot owns the session; its signals reach us by plain reference.
    session->signal_disconnected.connect([this, device = session.get()] { disconnected(*device); });
    session->signal_card_status_changed.connect(
        [this, device = session.get()](int status) { report_status(*device, status); });
    session->signal_setup_finished.connect([this](bool) { events_.settled(); });
    report_status(*session, session->card_status);
}

std::optional<std::size_t> ReaderDiscovery::slot_of(const PemraSession &session) const
{
    for (std::size_t slot = 0; slot < sessions_.size(); ++slot) {
        if (sessions_[slot].get() == &session)
            return slot;
    }
    return std::nullopt;
}

std::shared_ptr<PemraSession> ReaderDiscovery::session_in(std::size_t slot) const
{
    return slot < sessions_.size() ? sessions_[slot] : nullptr;
}

void ReaderDiscovery::report_status(PemraDevice &session, int status)
{
    std::optional<std::size_t> slot = slot_of(session);
    if (!slot)
        return;
    print_out("pemra %zu status changed %d\n", *slot, status);
    events_.status_changed(*slot, status, session.get_max_apdu_size());
}

void ReaderDiscovery::disconnected(PemraDevice &session)
{
    if (std::optional<std::size_t> slot = slot_of(session)) {
        print_out("pemra %zu disconnected\n", *slot);
        empty_slot(*slot);
    }
    thread_loop::timeout_once([this] { scan(); }, rescan_delay);
}

// A race between bluetoothd and the kernel (seen in one reconnect in nine
// to one in three: bluetoothd fails to set the link's security and never
// attaches its GATT client) leaves a reader connected without resolved
// services, on a link that carries nothing, until something drops it. The
// services of a reader known before resolve a fraction of a second after
// the connection, even on a slow link.
void ReaderDiscovery::watch_unresolved(const std::vector<std::string> &devices)
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

void ReaderDiscovery::disconnect_if_still_unresolved(const std::string &device)
{
    try {
        const std::vector<std::string> unresolved =
            devices_without_services(ObjectManagerProxy(connection_, "/").get_managed_objects());
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
void ReaderDiscovery::reconnect(const std::string &device)
{
    auto reader = std::make_shared<BTDevice>(connection_, device);
    reader->disconnect([reader, device](const Glib::Error *error) {
        if (error)
            std::fprintf(stderr, "cannot disconnect %s: %s\n", device.c_str(), error->what());
        reader->connect([reader, device](const Glib::Error *error) {
            if (error)
                std::fprintf(stderr, "cannot connect %s: %s\n", device.c_str(), error->what());
        });
    });
}

void ReaderDiscovery::bluez_gone()
{
    print_out("bluez gone\n");
    // A copy: a session that reports its reader gone leaves its slot.
    for (const auto &session : std::array(sessions_)) {
        if (session)
            session->link_lost();
    }
}

void ReaderDiscovery::bus_lost()
{
    forget_unresolved();
    for (std::size_t slot = 0; slot < sessions_.size(); ++slot) {
        if (sessions_[slot])
            empty_slot(slot);
    }
    connection_.reset();
}

void ReaderDiscovery::stop()
{
    forget_unresolved();
    for (auto &session : sessions_)
        session.reset();
    connection_.reset();
}

void ReaderDiscovery::forget_unresolved()
{
    for (auto &[device, timer] : std::exchange(unresolved_, {}))
        timer.disconnect();
}

void ReaderDiscovery::empty_slot(std::size_t slot)
{
    // Released from the main loop: the session may be emitting the signal
    // that brought us here.
    thread_loop::idle_once([session = std::move(sessions_[slot])]() mutable { release_session(std::move(session)); });
    events_.emptied(slot);
}
