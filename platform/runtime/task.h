#pragma once

#include <functional>
#include <stop_token>
#include <thread>
#include <vector>

namespace kavri {

// A long-lived loop on its own thread, cancelled through its stop token.
// Destroying or replacing a Task requests its stop and waits for it, except
// when that happens on the task's own thread (a loop that ends itself), where
// the thread is left to finish on its own.
class Task {
public:
    Task() = default;
    explicit Task(std::function<void(std::stop_token)> body);
    Task(Task&& other) noexcept = default;
    Task& operator=(Task&& other) noexcept;
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;
    ~Task();

    // Asks the loop to stop; does not wait.
    void cancel();
    // Cancels and waits for the thread (never waits on itself).
    void cancelAndJoin();
    // Asks the loop to stop and hands it to `retired`, whose owner joins it
    // from a thread of its own; this Task is left empty. Nothing when no
    // thread runs.
    void retireInto(std::vector<Task>& retired);
    // True while a thread was started and not yet joined or released.
    bool active() const { return thread_.joinable(); }
    bool isCurrentThread() const;

private:
    std::jthread thread_;
};

}  // namespace kavri
