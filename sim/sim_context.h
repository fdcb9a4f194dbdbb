// What every part of the stand-in shares: the bus, the interface
// descriptions, the object tree, the log, the readers' key store and the
// faults of BlueZ itself (those of the readers are their own).
#pragma once

#include <giomm/dbusconnection.h>

namespace pemra_sim {

class InterfaceCatalog;
class ObjectTree;
class EventLog;
class KeyStore;
class Faults;

struct SimContext {
    Glib::RefPtr<Gio::DBus::Connection> connection;
    const InterfaceCatalog &catalog;
    ObjectTree &tree;
    EventLog &log;
    KeyStore &keys;
    Faults &faults;
};

} // namespace pemra_sim
