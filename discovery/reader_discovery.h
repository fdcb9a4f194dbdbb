#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <giomm/dbusconnection.h>

#include "discovery/reader_candidates.h"

class PemraDevice;
class PemraSession;

// Finds ready Pemra readers in BlueZ's objects and gives the first wanted one
// a free slot with a new session, which the slot owns; tells its user the
// session's card status and when the slot is emptied again (the reader
// left). Everything runs on the worker's loop.
class ReaderDiscovery {
public:
    // The driver serves one reader at a time: one slot, index 0.
    static constexpr std::size_t slot_count = 1;
    // A reader that BlueZ holds connected without its services resolved for
    // this long is disconnected, so that BlueZ connects it anew.
    static constexpr std::chrono::milliseconds unresolved_limit{5000};

    struct Events {
        // The session in `slot` reports its card status and maximum APDU
        // size (0 while unknown).
        std::function<void(std::size_t slot, std::int32_t status, std::int32_t max_apdu_size)> status_changed;
        // The slot's session is gone: no card.
        std::function<void(std::size_t slot)> emptied;
        // A scan found no reader to take, or the session of the reader it
        // took has finished its set-up (well or not).
        std::function<void()> settled;
    };

    explicit ReaderDiscovery(Events events);
    ~ReaderDiscovery();
    ReaderDiscovery(const ReaderDiscovery &) = delete;
    ReaderDiscovery &operator=(const ReaderDiscovery &) = delete;

    // The bus connection to look for readers over, from now on.
    void use_bus(Glib::RefPtr<Gio::DBus::Connection> connection) { connection_ = std::move(connection); }
    // Scans BlueZ's objects for ready readers unless every slot is taken or
    // there is no bus connection.
    void scan();
    // BlueZ left the bus: every session's link is gone with it, and each
    // leaves its slot as a reader that disconnected does.
    void bluez_gone();
    // The bus went away with every link: the slots are emptied.
    void bus_lost();
    // The worker ends: sessions, timers and connection are let go, and the
    // card status is left as it was.
    void stop();

    // The session in the slot, if the slot exists and holds one.
    std::shared_ptr<PemraSession> session_in(std::size_t slot) const;
    // Tests put a scripted session into a slot, as a scan that found a
    // reader would.
    void put_session(std::size_t slot, std::shared_ptr<PemraSession> session) { sessions_.at(slot) = std::move(session); }

private:
    void take_candidates(const ManagedObjects &objects, const std::vector<ReaderCandidate> &candidates);
    bool wanted(const std::string &device_path) const;
    bool all_slots_taken() const;
    void add(const std::shared_ptr<PemraDevice> &session);
    std::optional<std::size_t> slot_of(const PemraSession &session) const;
    void report_status(PemraDevice &session, int status);
    void disconnected(PemraDevice &session);
    void empty_slot(std::size_t slot);
    void watch_unresolved(const std::vector<std::string> &devices);
    void forget_unresolved();
    void disconnect_if_still_unresolved(const std::string &device);
    void reconnect(const std::string &device);

    Events events_;
    Glib::RefPtr<Gio::DBus::Connection> connection_;
    std::array<std::shared_ptr<PemraSession>, slot_count> sessions_;
    // Per device connected without its services resolved: the timer of its
    // recovery.
    std::map<std::string, sigc::connection> unresolved_;
};
