#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include <glibmm/main.h>

#include "application/bluez_connection.h"
#include "channel/request_channel.h"
#include "discovery/reader_discovery.h"
#include "worker/request_dispatch.h"
#include "worker/slot_table.h"

class PemraSession;

// The driver's worker: one thread running a GLib main loop on a main context
// of its own, which does all D-Bus and Bluetooth work, and the parts it owns:
// the request channel and the slot table, where the daemon's threads meet it,
// and on its loop the bus connection, the discovery of readers and the
// serving of requests.
class Worker {
public:
    // Once the worker has been asked to stop, this long at most is given to
    // its thread to end (it may be inside a call to BlueZ).
    static constexpr std::chrono::milliseconds stop_limit{2000};

    // The process's worker, made at first use and never destroyed: pcscd's
    // other threads may still call entry points while the process exits, and
    // even wait for a card event in its slot table, after the exit handlers
    // (which stop the worker) and the destructors of statics have run.
    static Worker &instance();

    // Starts the worker thread unless one runs. Safe to call from any daemon
    // thread at any time. A thread that cannot be made leaves the request
    // channel closed, so that requests fail at once; the next call tries
    // again.
    void start();
    // Ends the worker's loop and waits for its thread, at most stop_limit.
    // A request in flight fails at once.
    void stop();
    // The process exits: the worker stops and is never started again, by
    // daemon threads that still run.
    void stop_for_exit();

    // A worker has been started and its main loop has not ended.
    bool running() const { return running_; }
    // Waits, at most `limit`, until the worker has either set up the session
    // of a reader that BlueZ holds ready, or found none to set up.
    void wait_until_settled(std::chrono::milliseconds limit);

    RequestChannel &requests() { return requests_; }
    SlotTable &slots() { return slots_; }

    // Tests put a scripted session into slot 0 of the running worker, from
    // its loop, as a scan that found a reader would; null empties the slot.
    void put_in_slot(std::shared_ptr<PemraSession> session);

private:
    Worker();
    void run();
    void tear_down();
    void settled();
    void thread_finished();

    std::atomic<bool> running_{false};
    RequestChannel requests_;
    SlotTable slots_;
    // On the worker's loop only.
    ReaderDiscovery discovery_;
    BluezConnection bluez_;
    RequestDispatch dispatch_;

    std::mutex start_mutex_;
    std::thread thread_;
    // The context of the worker's loop, made anew for each start: nothing
    // that a stopped worker left on its loop can run in the next one.
    Glib::RefPtr<Glib::MainContext> context_;
    Glib::RefPtr<Glib::MainLoop> loop_;
    bool exiting_ = false;

    std::mutex state_mutex_;
    std::condition_variable state_changed_;
    bool settled_ = false;
    bool thread_finished_ = true;
};
