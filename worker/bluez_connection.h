#pragma once

#include <giomm/dbusconnection.h>

// Connects to the system bus, exports the driver's GATT application and
// registers it with BlueZ's adapters. On success conn is set; on failure it
// stays null and the next start tries again.
bool setup_bus();

// Made by the worker before its loop runs: new adapters get the application
// too, device changes that may have made a reader ready start a scan, and a
// BlueZ that comes back gets the application again and a scan.
void subscribe_bluez_signals();

void register_profile_to_all_adapters();
void register_profile_to_adapter(const Glib::ustring &adapter);

// Signal handlers.
void some_bt_device_changed(const Glib::RefPtr<Gio::DBus::Connection> &connection, const Glib::ustring &sender_name,
                            const Glib::ustring &object_path, const Glib::ustring &interface_name,
                            const Glib::ustring &signal_name, const Glib::VariantContainerBase &parameters);
void bt_adapter_added(const Glib::RefPtr<Gio::DBus::Connection> &connection, const Glib::ustring &sender_name,
                      const Glib::ustring &object_path, const Glib::ustring &interface_name,
                      const Glib::ustring &signal_name, const Glib::VariantContainerBase &parameters);
