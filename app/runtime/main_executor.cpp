#include "app/runtime/main_executor.h"

#include <condition_variable>
#include <memory>
#include <mutex>

namespace kavri {

namespace {

struct InvokeState {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    bool ran = false;
    std::exception_ptr error;
};

// Marks the state finished when the queued job is destroyed, whether it ran
// or was dropped at shutdown, so the waiting thread always wakes.
struct InvokeJob {
    std::shared_ptr<InvokeState> state;
    const std::function<void()>* work = nullptr;

    void run() {
        try {
            (*work)();
        } catch (...) {
            state->error = std::current_exception();
        }
        state->ran = true;
    }
    ~InvokeJob() {
        if (!state) return;
        std::lock_guard lock(state->mutex);
        state->finished = true;
        state->done.notify_all();
    }
};

}  // namespace

void MainExecutor::invokeErased(const std::function<void()>& work) {
    auto state = std::make_shared<InvokeState>();
    auto job = std::make_shared<InvokeJob>();
    job->state = state;
    job->work = &work;
    post([job] { job->run(); });
    job.reset();
    std::unique_lock lock(state->mutex);
    state->done.wait(lock, [&] { return state->finished; });
    if (!state->ran) throw Stopped();
    if (state->error) std::rethrow_exception(state->error);
}

}  // namespace kavri
