#pragma once

#include <condition_variable>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <stop_token>
#include <thread>
#include <optional>
#include <type_traits>

#include "app/runtime/main_executor.h"

namespace kavri {

// The blocking calls a store starts off the main thread. Each call runs on a
// thread of its own with a stop token; it reads and writes the store's state
// only through Call::onMain, which runs a step on the main thread and refuses
// once the call was cancelled, so a cancelled call leaves the state as it was.
// Destroying the set (on the main thread) cancels every call and joins it; a
// call waiting for the main thread gives up at once, so nothing deadlocks.
class StoreCalls {
public:
    // Thrown out of onMain when the call was cancelled or the store is gone;
    // the call's body lets it pass.
    class Cancelled : public std::runtime_error {
    public:
        Cancelled() : std::runtime_error("cancelled") {}
    };

    class Call {
    public:
        std::stop_token stopToken() const { return stop_; }
        bool cancelled() const { return stop_.stop_requested(); }

        // Runs `step` on the main thread and returns its result. Throws
        // Cancelled when the call was cancelled before the step began.
        template <class F>
        auto onMain(F&& step) -> std::invoke_result_t<F> {
            using R = std::invoke_result_t<F>;
            if constexpr (std::is_void_v<R>) {
                onMainErased([&] { step(); });
            } else {
                std::optional<R> result;
                onMainErased([&] { result.emplace(step()); });
                return std::move(*result);
            }
        }

    private:
        friend class StoreCalls;
        Call(MainExecutor& main, std::stop_token stop) : main_(main), stop_(std::move(stop)) {}
        void onMainErased(const std::function<void()>& step);

        MainExecutor& main_;
        std::stop_token stop_;
    };

    // Cancels one call; safe after it ended.
    class Handle {
    public:
        Handle() = default;
        void cancel() { source_.request_stop(); }
        bool valid() const { return source_.stop_possible(); }

    private:
        friend class StoreCalls;
        explicit Handle(std::stop_source source) : source_(std::move(source)) {}
        std::stop_source source_{std::nostopstate};
    };

    explicit StoreCalls(MainExecutor& main);
    ~StoreCalls();
    StoreCalls(const StoreCalls&) = delete;
    StoreCalls& operator=(const StoreCalls&) = delete;

    // Starts `body` on a thread of its own. Exceptions other than Cancelled
    // that escape it are logged and dropped.
    Handle start(std::function<void(Call&)> body);
    // Requests a stop on every call; does not wait.
    void cancelAll();
    // Waits until every call has ended. Never call it from a call's body.
    void waitIdle();
    // True when every call has ended.
    bool idle();

private:
    struct Entry {
        std::jthread thread;
        bool finished = false;
    };

    void reap();

    MainExecutor& main_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::list<Entry> calls_;
};

}  // namespace kavri
