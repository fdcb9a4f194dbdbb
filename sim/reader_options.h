// What makes one reader of the stand-in or the peripheral what it is: its
// identity, its sizes, its card at start, the layout of its GATT service
// and, in the stand-in, the state of its link as BlueZ shows it at start.
#pragma once

#include <cstddef>
#include <set>
#include <string>

#include <glibmm/ustring.h>

namespace pemra_sim {

inline constexpr std::size_t min_message_size = 16;
inline constexpr std::size_t max_message_size = 0xFFFF;

struct ServiceLayout {
    std::set<int> omitted;   // characteristic numbers the service lacks
    std::set<int> uppercase; // characteristics whose UUID BlueZ shows in capitals
    // The device also offers a service of another UUID whose
    // characteristics carry the Pemra characteristics' UUIDs; calls on
    // them fail and are logged as "foreign-call".
    bool foreign_service = false;
    // Characteristic 8 can be read too: its value is the card status.
    bool status_readable = false;
};

struct LinkState {
    bool connected = true;
    bool paired = true;
    bool services_resolved = true;
};

struct ReaderOptions {
    std::string address;
    std::string name;
    LinkState link;
    bool card = true;
    std::size_t notify_size = 20;
    std::size_t message_size = 1024;
    ServiceLayout layout;
    // Like a reader built on BlueZ: it reports its card status only when
    // the host switches its notifications of 8 on from off. It keeps that
    // switch, per host, across link losses; bluetoothd kept it on, it
    // hears nothing when the host writes "on" again.
    bool status_at_switch_on = false;
};

// A Bluetooth adapter: in the stand-in the host's, whose address names the
// host to the reader; in the peripheral the reader's own.
struct AdapterRef {
    Glib::ustring path;
    std::string address;
};

// What is wrong with the notify or message size, or nothing.
std::string notify_size_problem(std::size_t size);
std::string size_problem(const ReaderOptions &options);

} // namespace pemra_sim
