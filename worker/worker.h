#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <glibmm/main.h>

#include "worker/bluez_connection.h"
#include "worker/device_discovery.h"
#include "worker/request_dispatch.h"
#include "channel/request_channel.h"
#include "worker/slot_table.h"

// The driver's worker: one thread running a GLib main loop on the process's
// default main context, which does all D-Bus and Bluetooth work, and the
// state the process keeps for it: the request channel, the slot table and
// the bus connection. The daemon's threads meet it only through the request
// channel and the slot table.
class Worker {
public:
    // Once the worker has been asked to stop, this long at most is given to
    // its thread to end (it may be inside a call to BlueZ).
    static constexpr std::chrono::milliseconds stop_limit{2000};

    // The process's worker, made at first use and never destroyed: pcscd may
    // exit while entry points of other threads still use it.
    static Worker &instance();

    // Starts the worker thread unless one runs. Safe to call from any daemon
    // thread at any time; the address text is required but not used. A
    // thread that cannot be made leaves the request channel closed, so that
    // requests fail at once; the next call tries again.
    void start_bt_thread(const char *addr);
    // The worker is never stopped by an entry point.
    void stop_bt_thread() {}
    // Ends the worker's loop and waits for its thread, at most stop_limit.
    // A request in flight fails at once.
    void stop();
    // The process exits: the worker stops and is never started again, by
    // daemon threads that still run.
    void stop_for_exit();

    // Waits, at most `limit`, until the worker has either set up the session
    // of a reader that BlueZ holds ready, or found none to set up.
    void wait_until_settled(std::chrono::milliseconds limit);

    // A worker has been started and its main loop has not ended.
    std::atomic<bool> thread_running{false};
    RequestChannel requests;
    SlotTable slots;
    // The worker's main loop while it runs.
    Glib::RefPtr<Glib::MainLoop> pemra_loop;
    BluezConnection bluez;
    DeviceDiscovery discovery;

private:
    Worker();
    void worker_body();
    void tear_down();
    void settled();
    void thread_finished();

    RequestDispatch dispatch_;
    std::mutex start_mutex_;
    std::thread thread_;
    bool exiting_ = false;

    std::mutex state_mutex_;
    std::condition_variable state_changed_;
    bool settled_ = false;
    bool thread_finished_ = true;
};
