#pragma once

#include <exception>
#include <functional>
#include <optional>
#include <stdexcept>
#include <type_traits>

namespace kavri {

// The app's main thread: every store lives there and every change a view sees
// is published there. Work from other threads reaches it through post() or,
// when the caller needs the result, invoke().
class MainExecutor {
public:
    // Thrown by invoke() when the main thread has shut down and the work will
    // never run.
    class Stopped : public std::runtime_error {
    public:
        Stopped() : std::runtime_error("the main thread has stopped") {}
    };

    virtual ~MainExecutor() = default;

    // Queues `work` to run on the main thread, after everything queued before.
    // Work posted after shutdown is dropped.
    virtual void post(std::function<void()> work) = 0;
    // True on the main thread.
    virtual bool isMainThread() const = 0;

    // Runs `work` on the main thread and returns its result (or rethrows its
    // exception). On the main thread it runs at once; elsewhere it waits until
    // the main thread has run it. Throws Stopped when the main thread shut
    // down before running it.
    template <class F>
    auto invoke(F&& work) -> std::invoke_result_t<F> {
        using R = std::invoke_result_t<F>;
        if (isMainThread()) return work();
        if constexpr (std::is_void_v<R>) {
            invokeErased([&] { work(); });
        } else {
            std::optional<R> result;
            invokeErased([&] { result.emplace(work()); });
            return std::move(*result);
        }
    }

protected:
    // Runs `work` on the main thread and waits for it; rethrows what it threw.
    virtual void invokeErased(const std::function<void()>& work);
};

}  // namespace kavri
