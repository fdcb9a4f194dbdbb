#pragma once

#include <glib.h>

#include <coroutine>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

#include "common/failure.h"
#include "common/thread_loop.h"

// A lazily started coroutine that yields one value of type T. The session's
// exchanges with the reader are written as coroutines so that a sequence of
// requests reads top to bottom; each co_await suspends until the awaited
// operation's completion runs on the worker's main loop.
template <typename T> class Task {
public:
    struct promise_type {
        std::optional<T> value;
        std::exception_ptr failure;
        std::coroutine_handle<> continuation;

        Task get_return_object() { return Task(std::coroutine_handle<promise_type>::from_promise(*this)); }
        std::suspend_always initial_suspend() noexcept { return {}; }
        auto final_suspend() noexcept
        {
            struct ResumeAwaiter {
                bool await_ready() noexcept { return false; }
                std::coroutine_handle<> await_suspend(std::coroutine_handle<promise_type> done) noexcept
                {
                    std::coroutine_handle<> next = done.promise().continuation;
                    return next ? next : std::noop_coroutine();
                }
                void await_resume() noexcept {}
            };
            return ResumeAwaiter{};
        }
        void return_value(T result) { value = std::move(result); }
        void unhandled_exception() { failure = std::current_exception(); }
    };

    Task(Task &&other) noexcept : handle_(std::exchange(other.handle_, {})) {}
    Task(const Task &) = delete;
    ~Task()
    {
        if (handle_)
            handle_.destroy();
    }

    bool await_ready() const noexcept { return false; }
    std::coroutine_handle<> await_suspend(std::coroutine_handle<> awaiting) noexcept
    {
        handle_.promise().continuation = awaiting;
        return handle_;
    }
    T await_resume()
    {
        if (handle_.promise().failure)
            std::rethrow_exception(handle_.promise().failure);
        return std::move(*handle_.promise().value);
    }

private:
    explicit Task(std::coroutine_handle<promise_type> handle) : handle_(handle) {}
    std::coroutine_handle<promise_type> handle_;
};

// Suspends until a callback-style operation completes: `start` is called
// with the function that resumes the coroutine with the operation's result.
// Keep it in a named variable and co_await that: g++ 12 destroys a temporary
// awaiter twice, which frees what its start function captured too early.
// Likewise, g++ 12 miscompiles a co_await of a task that finishes at once
// when it stands in the condition of an if: take the result into a variable
// first, then test it.
template <typename T> class Completion {
public:
    using Resume = std::function<void(T)>;
    explicit Completion(std::function<void(Resume)> start) : start_(std::move(start)) {}

    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> awaiting)
    {
        start_([this, awaiting](T result) {
            result_ = std::move(result);
            awaiting.resume();
        });
    }
    T await_resume() { return std::move(*result_); }

private:
    std::function<void(Resume)> start_;
    std::optional<T> result_;
};

namespace task_detail {

// What a task yields when it throws, which none is meant to: its failure.
template <typename T> struct FailedResult {
    static T value() { return T{}; }
};
template <typename T> struct FailedResult<Outcome<T>> {
    static Outcome<T> value() { return Failure::BadReply; }
};

// The coroutine that runs a task on its own and hands its result over.
struct Detached {
    struct promise_type {
        Detached get_return_object() { return {}; }
        std::suspend_never initial_suspend() noexcept { return {}; }
        std::suspend_never final_suspend() noexcept { return {}; }
        void return_void() {}
        void unhandled_exception() { std::terminate(); }
    };
};

template <typename T>
Detached run_detached(Task<T> task, std::function<void(T)> done, std::shared_ptr<bool> starting)
{
    T result = FailedResult<T>::value();
    try {
        result = co_await std::move(task);
    } catch (const std::exception &error) {
        g_critical("uncaught error: %s", error.what());
    }
    if (*starting) {
        // Finished before its start call returned: completions always run
        // later, from the main loop.
        thread_loop::idle_once([done = std::move(done), result = std::move(result)] { done(result); });
    } else {
        done(std::move(result));
    }
}

} // namespace task_detail

// Starts a task and calls `done` with its result exactly once, from the main
// loop, after this call has returned. A task that throws yields its failure
// (false, or a bad reply).
template <typename T> void start_task(Task<T> task, std::function<void(T)> done)
{
    auto starting = std::make_shared<bool>(true);
    task_detail::run_detached(std::move(task), std::move(done), starting);
    *starting = false;
}
