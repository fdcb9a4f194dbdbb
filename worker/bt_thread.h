#pragma once

#include <atomic>

#include <giomm/dbusconnection.h>
#include <glibmm/main.h>

// A worker has been started and its main loop has not ended.
extern std::atomic<bool> thread_running;
// The system bus connection, set once the bus set-up has succeeded.
extern Glib::RefPtr<Gio::DBus::Connection> &conn;
// The worker's main loop while it runs.
extern Glib::RefPtr<Glib::MainLoop> &pemra_loop;

// Starts the worker thread unless one runs. Safe to call from any daemon
// thread at any time; the address text is required but not used.
void start_bt_thread(const char *addr);
// The worker is never stopped by the driver.
void stop_bt_thread();
