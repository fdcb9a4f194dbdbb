#include "worker/worker.h"

#include <giomm/init.h>
#include <glib.h>
#include <openssl/crypto.h>
#include <pthread.h>

#include <cstdlib>
#include <system_error>

#include "common/diagnostics.h"
#include "device/pemra_session.h"

namespace {

constexpr char worker_thread_name[] = "pemra-worker";

// Done once, before the first worker: GIO's types, the default main context
// (so that its wake-up descriptor exists before any thread adds a source to
// it), and the order of what runs when the process exits.
void prepare_process()
{
    Gio::init();
    Glib::MainContext::get_default();
    // libcrypto's exit handler would free its state under a worker that is
    // still encrypting; its memory goes with the process anyway.
    OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
    // pcscd exits (after its last client, with --auto-exit) while the worker
    // runs: the worker ends before the exit handlers of the libraries it
    // uses, registered earlier, run.
    std::atexit([] { Worker::instance().stop_for_exit(); });
}

} // namespace

Worker &Worker::instance()
{
    static Worker *worker = new Worker;
    return *worker;
}

Worker::Worker()
    : bluez({[this] { discovery.connect_available_devices(); },
             [this] {
                 discovery.release_all();
                 settled();
             },
             [this] { settled(); }}),
      discovery(slots, bluez.conn, {[this] { settled(); }}), dispatch_(requests, slots)
{
}

void Worker::start_bt_thread(const char *addr)
{
    if (addr == nullptr) {
        g_return_if_fail_warning(nullptr, "start_bt_thread", "addr != NULL");
        return;
    }
    static std::once_flag prepared;
    std::call_once(prepared, prepare_process);
    std::lock_guard lock(start_mutex_);
    if (thread_running || exiting_)
        return;
    if (thread_.joinable())
        thread_.join(); // a loop that ended: its thread is done or about to be
    requests.make();
    {
        std::lock_guard state(state_mutex_);
        settled_ = false;
        thread_finished_ = false;
    }
    thread_running = true;
    try {
        thread_ = std::thread(&Worker::worker_body, this);
        // Named so that it can be told apart among pcscd's threads.
        pthread_setname_np(thread_.native_handle(), worker_thread_name);
    } catch (const std::system_error &error) {
        std::fprintf(stderr, "cannot start the worker: %s\n", error.what());
        requests.close_both();
        thread_running = false;
        thread_finished();
    }
}

void Worker::worker_body()
{
    pemra_loop = Glib::MainLoop::create();
    sigc::connection request_watch =
        Glib::signal_io().connect(sigc::mem_fun(dispatch_, &RequestDispatch::serve_next), requests.worker_end(),
                                  Glib::IOCondition::IO_IN | Glib::IOCondition::IO_HUP);
    bluez.setup_bus();
    pemra_loop->run();

    print_out("mainloop ended\n");
    request_watch.disconnect();
    tear_down();
    thread_finished();
}

// The status and maximum-APDU entries keep their last values.
void Worker::tear_down()
{
    for (auto &session : slots.pemra_devlist)
        session.reset();
    bluez.shut_down();
    pemra_loop.reset();
    requests.shut_down_worker_end();
    requests.close_both();
    thread_running = false;
}

void Worker::stop()
{
    std::lock_guard lock(start_mutex_);
    if (!thread_.joinable() || thread_.get_id() == std::this_thread::get_id())
        return;
    // Runs once the loop runs, should it not run yet.
    Glib::MainContext::get_default()->signal_idle().connect_once([this] { pemra_loop->quit(); });
    std::unique_lock state(state_mutex_);
    if (state_changed_.wait_for(state, stop_limit, [this] { return thread_finished_; }))
        thread_.join();
    else
        thread_.detach(); // stuck in a call to BlueZ: the process goes on without it
}

void Worker::stop_for_exit()
{
    {
        std::lock_guard lock(start_mutex_);
        exiting_ = true;
    }
    stop();
}

void Worker::wait_until_settled(std::chrono::milliseconds limit)
{
    std::unique_lock state(state_mutex_);
    state_changed_.wait_for(state, limit, [this] { return settled_ || thread_finished_; });
}

void Worker::settled()
{
    {
        std::lock_guard state(state_mutex_);
        settled_ = true;
    }
    state_changed_.notify_all();
}

void Worker::thread_finished()
{
    {
        std::lock_guard state(state_mutex_);
        thread_finished_ = true;
    }
    state_changed_.notify_all();
}
