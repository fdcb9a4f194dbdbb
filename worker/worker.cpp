#include "worker/worker.h"

#include <giomm/init.h>
#include <openssl/crypto.h>
#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <future>
#include <system_error>

#include "common/diagnostics.h"
#include "device/pemra_session.h"

namespace {

constexpr char worker_thread_name[] = "pemra-worker";

// Done once, before the first worker: GIO's types and the order of what
// runs when the process exits.
void prepare_process()
{
    Gio::init();
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
    : discovery_({[this](std::size_t slot, std::int32_t status, std::int32_t max_apdu_size) {
                      slots_.record(slot, status, max_apdu_size);
                  },
                  [this](std::size_t slot) { slots_.record_status(slot, 0); }, [this] { settled(); }}),
      bluez_({[this](const auto &connection) { discovery_.use_bus(connection); }, [this] { discovery_.scan(); },
              [this] { discovery_.bluez_gone(); },
              [this] {
                  discovery_.bus_lost();
                  settled();
              },
              [this] { settled(); }}),
      dispatch_(requests_, [this](std::uint8_t slot) { return discovery_.session_in(slot); })
{
}

void Worker::start()
{
    static std::once_flag prepared;
    std::call_once(prepared, prepare_process);
    std::lock_guard lock(start_mutex_);
    if (running_ || exiting_)
        return;
    if (thread_.joinable())
        thread_.join(); // a loop that ended: its thread is done or about to be
    requests_.make();
    context_ = Glib::MainContext::create();
    loop_ = Glib::MainLoop::create(context_);
    {
        std::lock_guard state(state_mutex_);
        settled_ = false;
        thread_finished_ = false;
    }
    running_ = true;
    try {
        thread_ = std::thread(&Worker::run, this);
        // Named so that it can be told apart among pcscd's threads.
        pthread_setname_np(thread_.native_handle(), worker_thread_name);
    } catch (const std::system_error &error) {
        std::fprintf(stderr, "cannot start the worker: %s\n", error.what());
        requests_.close_both();
        running_ = false;
        thread_finished();
    }
}

void Worker::run()
{
    // Every source and D-Bus callback of the worker attaches to the
    // thread-default context from here on.
    context_->push_thread_default();
    sigc::connection request_watch =
        context_->signal_io().connect(sigc::mem_fun(dispatch_, &RequestDispatch::serve_next), requests_.worker_end(),
                                      Glib::IOCondition::IO_IN | Glib::IOCondition::IO_HUP);
    bluez_.set_up();
    loop_->run();

    print_out("mainloop ended\n");
    request_watch.disconnect();
    tear_down();
    context_->pop_thread_default();
    thread_finished();
}

// The status and maximum-APDU entries keep their last values.
void Worker::tear_down()
{
    discovery_.stop();
    bluez_.shut_down();
    requests_.shut_down_worker_end();
    requests_.close_both();
    running_ = false;
}

void Worker::stop()
{
    std::lock_guard lock(start_mutex_);
    if (!thread_.joinable() || thread_.get_id() == std::this_thread::get_id())
        return;
    // Runs once the loop runs, should it not run yet.
    context_->signal_idle().connect_once([this] { loop_->quit(); });
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

void Worker::put_in_slot(std::shared_ptr<PemraSession> session)
{
    std::promise<void> done;
    context_->invoke([this, &session, &done] {
        discovery_.put_session(0, std::move(session));
        done.set_value();
        return false;
    });
    done.get_future().wait();
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
