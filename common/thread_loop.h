#pragma once

#include <chrono>
#include <functional>

#include <glibmm/main.h>

// Idle callbacks and timers on the main context of the calling thread: the
// worker's own context on the worker thread, which it pushes as the thread's
// default. glibmm's Glib::signal_idle() and Glib::signal_timeout() attach to
// the process's global default context instead, where nothing of the driver
// runs, and where a stopped worker's sources would wait for the next one.
namespace thread_loop {

// Runs `work` once, from the loop, after this call has returned.
inline void idle_once(std::function<void()> work, int priority = Glib::PRIORITY_DEFAULT_IDLE)
{
    Glib::MainContext::get_thread_default()->signal_idle().connect_once(std::move(work), priority);
}

// Runs `work` once, from the loop, `after` from now.
inline void timeout_once(std::function<void()> work, std::chrono::milliseconds after)
{
    Glib::MainContext::get_thread_default()->signal_timeout().connect_once(std::move(work),
                                                                           static_cast<unsigned>(after.count()));
}

// Runs `work` from the loop every `interval` until it returns false or the
// connection is disconnected.
inline sigc::connection timeout(std::function<bool()> work, std::chrono::milliseconds interval)
{
    return Glib::MainContext::get_thread_default()->signal_timeout().connect(std::move(work),
                                                                             static_cast<unsigned>(interval.count()));
}

} // namespace thread_loop
