#include "app/runtime/store_calls.h"

#include <exception>

#include "platform/runtime/log.h"

namespace kavri {

namespace {

// One step handed to the main thread. The worker may give up waiting only
// while the step is still queued; once the main thread began it, the worker
// waits for its end, because the step refers to the worker's stack.
struct Step {
    enum class Phase { queued, running, done, abandoned };
    std::mutex mutex;
    std::condition_variable_any changed;
    Phase phase = Phase::queued;
    std::exception_ptr error;
    const std::function<void()>* work = nullptr;
};

struct StepJob {
    std::shared_ptr<Step> step;
    std::stop_token stop;

    void run() {
        {
            std::lock_guard lock(step->mutex);
            if (step->phase != Step::Phase::queued || stop.stop_requested()) {
                step->phase = Step::Phase::abandoned;
                step->changed.notify_all();
                return;
            }
            step->phase = Step::Phase::running;
        }
        std::exception_ptr error;
        try {
            (*step->work)();
        } catch (...) {
            error = std::current_exception();
        }
        std::lock_guard lock(step->mutex);
        step->error = error;
        step->phase = Step::Phase::done;
        step->changed.notify_all();
    }

    // Dropped unrun (the main thread shut down): release the worker.
    ~StepJob() {
        if (!step) return;
        std::lock_guard lock(step->mutex);
        if (step->phase == Step::Phase::queued) {
            step->phase = Step::Phase::abandoned;
            step->changed.notify_all();
        }
    }
};

}  // namespace

void StoreCalls::Call::onMainErased(const std::function<void()>& work) {
    if (stop_.stop_requested()) throw Cancelled();
    if (main_.isMainThread()) {
        work();
        return;
    }
    auto step = std::make_shared<Step>();
    step->work = &work;
    auto job = std::make_shared<StepJob>();
    job->step = step;
    job->stop = stop_;
    main_.post([job] { job->run(); });
    job.reset();
    std::unique_lock lock(step->mutex);
    step->changed.wait(lock, stop_, [&] {
        return step->phase == Step::Phase::done || step->phase == Step::Phase::abandoned;
    });
    if (step->phase == Step::Phase::queued) {
        step->phase = Step::Phase::abandoned;  // stopped while queued: the step will not run
        throw Cancelled();
    }
    if (step->phase == Step::Phase::running) {  // stopped while the main thread runs it
        step->changed.wait(lock, [&] { return step->phase == Step::Phase::done; });
    }
    if (step->phase == Step::Phase::abandoned) throw Cancelled();
    if (step->error) std::rethrow_exception(step->error);
}

StoreCalls::StoreCalls(MainExecutor& main) : main_(main) {}

StoreCalls::~StoreCalls() {
    cancelAll();
    waitIdle();
}

StoreCalls::Handle StoreCalls::start(std::function<void(Call&)> body) {
    std::lock_guard lock(mutex_);
    reap();
    auto& entry = calls_.emplace_back();
    entry.thread = std::jthread([this, &entry, body = std::move(body)](std::stop_token stop) {
        Call call(main_, stop);
        try {
            body(call);
        } catch (const Cancelled&) {
        } catch (const MainExecutor::Stopped&) {
        } catch (const std::exception& e) {
            Log::line(std::string("[Kavri] store call failed: ") + e.what());
        } catch (...) {
            Log::line("[Kavri] store call failed");
        }
        std::lock_guard done(mutex_);
        entry.finished = true;
        changed_.notify_all();
    });
    return Handle(entry.thread.get_stop_source());
}

void StoreCalls::cancelAll() {
    std::lock_guard lock(mutex_);
    for (auto& entry : calls_) entry.thread.request_stop();
}

void StoreCalls::waitIdle() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] {
        for (const auto& entry : calls_) {
            if (!entry.finished) return false;
        }
        return true;
    });
    std::list<Entry> ended;
    ended.swap(calls_);
    lock.unlock();
    // Every thread has finished its body; joining is immediate.
}

bool StoreCalls::idle() {
    std::lock_guard lock(mutex_);
    for (const auto& entry : calls_)
        if (!entry.finished) return false;
    return true;
}

void StoreCalls::reap() {
    for (auto it = calls_.begin(); it != calls_.end();) {
        if (it->finished) {
            it = calls_.erase(it);  // jthread joins a thread that already ended
        } else {
            ++it;
        }
    }
}

}  // namespace kavri
