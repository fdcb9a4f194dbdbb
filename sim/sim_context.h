// What every part of the stand-in shares: the bus, the interface
// descriptions, the object tree, the log and the readers' key store.
#pragma once

#include <giomm/dbusconnection.h>

namespace pemra_sim {

class InterfaceCatalog;
class ObjectTree;
class EventLog;
class KeyStore;

struct SimContext {
    Glib::RefPtr<Gio::DBus::Connection> connection;
    const InterfaceCatalog &catalog;
    ObjectTree &tree;
    EventLog &log;
    KeyStore &keys;
};

} // namespace pemra_sim
