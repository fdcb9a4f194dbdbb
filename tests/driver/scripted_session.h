#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/thread_loop.h"
#include "device/pemra_session.h"

// What a scripted session answers.
struct ReaderScript {
    bool ready = true;
    Bytes descriptor;
    std::optional<std::string> address;
    Bytes atr;
    Bytes apdu_response;
    Bytes rpc_answer;
    // The reader never answers: no operation completes until cancelled.
    bool silent = false;
};

// A reader session whose answers a test sets beforehand. It completes every
// operation from an idle callback on the worker's loop, as a real session
// does, and records what it was asked. The test thread and the worker share
// it, so everything goes through one lock.
class ScriptedSession : public PemraSession {
public:
    explicit ScriptedSession(ReaderScript script) : script_(std::move(script)) {}

    void edit(const std::function<void(ReaderScript &)> &change)
    {
        std::lock_guard lock(mutex_);
        change(script_);
    }

    bool is_ready() const override { return locked(script_.ready); }
    const std::string &device_path() const override { return device_path_; }
    std::span<const std::uint8_t> descriptor_bytes() const override
    {
        // A copy only the worker touches: the test may edit the script
        // while the worker still sends the bytes.
        std::lock_guard lock(mutex_);
        descriptor_served_ = script_.descriptor;
        return descriptor_served_;
    }
    std::optional<std::string> get_ieee() const override { return locked(script_.address); }

    void reset_card(Deadline, ReplyCompletion done) override
    {
        std::lock_guard lock(mutex_);
        ++resets_;
        complete_later(std::move(done), script_.atr);
    }
    void write_apdu(std::span<const std::uint8_t> apdu, Deadline, ReplyCompletion done) override
    {
        std::lock_guard lock(mutex_);
        apdus_.emplace_back(apdu.begin(), apdu.end());
        complete_later(std::move(done), script_.apdu_response);
    }
    void shutdown(Deadline, std::function<void()> done) override
    {
        std::lock_guard lock(mutex_);
        ++shutdowns_;
        thread_loop::idle_once(std::move(done));
    }
    void write_rpc(std::span<const std::uint8_t> message, bool encrypt, Deadline, ReplyCompletion done) override
    {
        std::lock_guard lock(mutex_);
        rpc_messages_.push_back({Bytes(message.begin(), message.end()), encrypt});
        complete_later(std::move(done), script_.rpc_answer);
    }
    void link_lost() override {}
    void cancel(Deadline, Failure failure) override
    {
        std::lock_guard lock(mutex_);
        cancelled_.push_back(failure);
        for (auto &done : std::exchange(waiting_, {}))
            schedule(std::move(done), failure);
    }

    struct RpcCall {
        Bytes message;
        bool encrypted;
    };
    std::vector<Failure> cancelled() const { return locked(cancelled_); }
    int resets() const { return locked(resets_); }
    int shutdowns() const { return locked(shutdowns_); }
    std::vector<Bytes> apdus() const { return locked(apdus_); }
    std::vector<RpcCall> rpc_messages() const { return locked(rpc_messages_); }

private:
    template <typename T> T locked(const T &field) const
    {
        std::lock_guard lock(mutex_);
        return field;
    }
    // An empty script entry is a failed operation. Caller holds the lock.
    void complete_later(ReplyCompletion done, const Bytes &result)
    {
        if (script_.silent)
            waiting_.push_back(std::move(done));
        else
            schedule(std::move(done), result.empty() ? Outcome<Bytes>(Failure::BadReply) : Outcome<Bytes>(result));
    }
    static void schedule(ReplyCompletion done, Outcome<Bytes> outcome)
    {
        thread_loop::idle_once([done = std::move(done), outcome = std::move(outcome)] { done(outcome); });
    }

    mutable std::mutex mutex_;
    ReaderScript script_;
    const std::string device_path_ = "/org/bluez/hci0/dev_scripted";
    mutable Bytes descriptor_served_;
    int resets_ = 0;
    int shutdowns_ = 0;
    std::vector<Bytes> apdus_;
    std::vector<RpcCall> rpc_messages_;
    std::vector<ReplyCompletion> waiting_;
    std::vector<Failure> cancelled_;
};
