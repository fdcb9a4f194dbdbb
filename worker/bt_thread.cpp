#include "worker/bt_thread.h"

#include <giomm/init.h>
#include <glib.h>

#include <cstdio>
#include <pthread.h>

#include <mutex>
#include <system_error>
#include <thread>

#include "bluez/diagnostics.h"
#include "device/pemra_session.h"
#include "driver/request_channel.h"
#include "driver/request_dispatch.h"
#include "worker/bluez_connection.h"
#include "worker/device_discovery.h"
#include "worker/slot_table.h"

std::atomic<bool> thread_running{false};
// Never destroyed: the worker may still be running when the process exits.
Glib::RefPtr<Gio::DBus::Connection> &conn = *new Glib::RefPtr<Gio::DBus::Connection>;
Glib::RefPtr<Glib::MainLoop> &pemra_loop = *new Glib::RefPtr<Glib::MainLoop>;

namespace {

constexpr char worker_thread_name[] = "pemra-worker";

// pcscd's polling thread and a client thread may both call an entry point
// that starts the worker: at most one of them may make the pair and thread.
std::mutex start_mutex;

void empty_slots()
{
    for (auto &session : pemra_devlist)
        session.reset();
}

void worker_body()
{
    subscribe_bluez_signals();
    sigc::connection request_watch = Glib::signal_io().connect(
        sigc::ptr_fun(pipe_read_cb), btsidesocket, Glib::IOCondition::IO_IN | Glib::IOCondition::IO_HUP);
    connect_available_devices();

    pemra_loop = Glib::MainLoop::create();
    pemra_loop->run();

    print_out("mainloop ended\n");
    pemra_loop.reset();
    // The status and maximum-APDU entries keep their last values.
    empty_slots();
    thread_running = false;
    request_watch.disconnect();
}

} // namespace

void start_bt_thread(const char *addr)
{
    if (addr == nullptr) {
        g_return_if_fail_warning(nullptr, "start_bt_thread", "addr != NULL");
        return;
    }
    std::lock_guard lock(start_mutex);
    if (thread_running)
        return;
    close_pcsc_end();
    if (!conn) {
        Gio::init();
        // Made here rather than lazily on the worker, so that its wake-up
        // descriptor exists before any daemon thread adds a source to it.
        Glib::MainContext::get_default();
        if (!setup_bus())
            return;
    }
    thread_running = true;
    create_request_channel();
    try {
        std::thread worker(worker_body);
        // Named so that it can be told apart among pcscd's threads.
        pthread_setname_np(worker.native_handle(), worker_thread_name);
        worker.detach();
    } catch (const std::system_error &) {
        // No thread could be made: the next start call tries again.
        thread_running = false;
    }
}

void stop_bt_thread() {}
