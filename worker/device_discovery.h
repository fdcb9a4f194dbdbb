#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <giomm/dbusconnection.h>

#include "worker/reader_candidates.h"
#include "worker/slot_table.h"

class PemraDevice;

// Finds ready Pemra readers in BlueZ's objects and gives the first wanted one
// a free slot with a new session; mirrors the session's card status into the
// slot table and empties the slot when the reader leaves.
class DeviceDiscovery {
public:
    // A reader that BlueZ holds connected without its services resolved for
    // this long is disconnected, so that BlueZ connects it anew.
    static constexpr std::chrono::milliseconds unresolved_limit{5000};

    struct Events {
        // A scan found no reader to take, or the session of the reader it
        // took has finished its set-up (well or not).
        std::function<void()> settled;
    };

    // `conn` is the worker's bus connection, null while there is none.
    DeviceDiscovery(SlotTable &slots, const Glib::RefPtr<Gio::DBus::Connection> &conn, Events events);

    // Scans BlueZ's objects for ready readers unless every slot is taken or
    // a scan is running.
    void connect_available_devices();

    // A free slot exists and the device is in none of them.
    bool this_pemra_wanted(const std::string &devpath) const;
    bool enough_pemras_connected() const;

    void add_pemra(const std::shared_ptr<PemraDevice> &dev);
    void card_status_changed(PemraDevice &dev, int status);
    void pemra_disconnected(PemraDevice &dev);
    // BlueZ, or the bus, went away with every link: the slots are emptied.
    void release_all();

    // A scan is running: no second one starts meanwhile.
    bool checking_devs = false;

private:
    void scan();
    void take_candidates(const ManagedObjects &objects, const std::vector<ReaderCandidate> &candidates);
    void empty_slot(std::size_t slot);
    void watch_unresolved(const std::vector<std::string> &devices);
    void disconnect_if_still_unresolved(const std::string &device);
    void reconnect(const std::string &device);

    SlotTable &slots_;
    const Glib::RefPtr<Gio::DBus::Connection> &conn_;
    Events events_;
    // Per device connected without its services resolved: the timer of its
    // recovery.
    std::map<std::string, sigc::connection> unresolved_;
};
