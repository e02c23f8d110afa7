#include "platform/ne/tunnel_host.h"

#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <variant>
#include <vector>

#include "platform/ne/tunnel_control_server.h"
#include "platform/runtime/log.h"

namespace kavri {
namespace {

using nlohmann::json;
using ConnectionId = TunnelControlServer::ConnectionId;

bool isUp(TunnelStatus s) { return s == TunnelStatus::connected || s == TunnelStatus::reasserting; }

// Where the answer to one request goes: a client and the request's id. The
// host's own callers (stopAndWait) use client 0, which no client has.
struct ReplyTo {
    ConnectionId client = 0;
    json id;
};

// Completions may be called more than once by a faulty provider; only the
// first call counts.
class Once {
public:
    bool first() { return !done_->exchange(true); }

private:
    std::shared_ptr<std::atomic<bool>> done_ = std::make_shared<std::atomic<bool>>(false);
};

// Whether the completion of a start or stop the host waits for has come.
struct Completed {
    bool done = false;  // under the host's queue mutex
};

std::string secondsText(std::chrono::nanoseconds d) {
    return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(d).count());
}

}  // namespace

class TunnelHost::Core : public std::enable_shared_from_this<Core> {
public:
    using Factory = std::function<std::shared_ptr<PacketTunnelProviderBase>()>;

    Core(Factory makeProvider, Clock& clock) : makeProvider_(std::move(makeProvider)), clock_(clock) {}

    void open(const TunnelHostConfig& config) {
        worker_ = std::thread([this] { runWorker(); });
        try {
            // A client can connect the moment the socket exists: its greeting
            // waits here until server_ is in place.
            std::lock_guard lock(mutex_);
            server_ = std::make_unique<TunnelControlServer>(
                config.directory / config.socketName,
                TunnelControlServer::Handlers{
                    [this](ConnectionId client) { greet(client); },
                    [this](ConnectionId client, const json& request) { handle(client, request); }});
        } catch (...) {
            shutdown();
            throw;
        }
        Log::line("[Kavri] tunnel host: listening on " + server_->path().string());
        wakeDetector_ = std::make_unique<WakeDetector>(config.wake, clock_, [this](std::chrono::nanoseconds slept) {
            Log::line("[Kavri] tunnel host: resume from sleep detected (" + secondsText(slept) + " s)");
            wake();
        });
    }

    // Ends serving and calling the provider; completions arriving later find
    // the host closed and do nothing.
    void shutdown() {
        if (shut_) return;
        shut_ = true;
        wakeDetector_.reset();
        if (server_) server_->stop();
        {
            std::lock_guard lock(mutex_);
            closed_ = true;
            changed_.notify_all();
        }
        {
            std::lock_guard lock(queueMutex_);
            queueStopped_ = true;
            queue_.clear();
        }
        queueChanged_.notify_all();
        if (worker_.joinable()) worker_.join();
        dropProvider();
    }

    std::filesystem::path socketPath() const { return server_ ? server_->path() : std::filesystem::path(); }

    TunnelControlProtocol::Snapshot snapshot() const {
        std::lock_guard lock(mutex_);
        return state_;
    }

    bool stopAndWait(ProviderStopReason reason, std::chrono::milliseconds timeout) {
        stop(reason, ReplyTo{});
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout,
                                 [&] { return closed_ || state_.status == TunnelStatus::disconnected; }) &&
               state_.status == TunnelStatus::disconnected;
    }

private:
    // --- requests -------------------------------------------------------

    void greet(ConnectionId client) {
        std::lock_guard lock(mutex_);
        if (!closed_ && server_) server_->send(client, TunnelControlProtocol::statusEvent(state_));
    }

    void handle(ConnectionId client, const json& object) {
        auto decoded = TunnelControlProtocol::decodeRequest(object);
        if (auto* error = std::get_if<TunnelControlProtocol::RequestError>(&decoded))
            return fail(ReplyTo{client, std::move(error->id)}, std::move(error->error));
        auto& request = std::get<TunnelControlProtocol::Request>(decoded);
        ReplyTo to{client, std::move(request.id)};
        using Op = TunnelControlProtocol::Request::Op;
        switch (request.op) {
            case Op::status: {
                std::lock_guard lock(mutex_);
                json reply = {{"ok", true}};
                TunnelControlProtocol::writeSnapshot(state_, reply);
                return replyLocked(to, std::move(reply));
            }
            case Op::start:
                return start(std::move(request.options), std::move(to));
            case Op::stop:
                return stop(request.reason, std::move(to));
            case Op::wake: {
                const bool delivered = wake();
                std::lock_guard lock(mutex_);
                return replyLocked(to, {{"ok", true}, {"delivered", delivered}});
            }
            case Op::message:
                return message(std::move(request.data), std::move(to));
        }
    }

    void fail(const ReplyTo& to, std::string error) {
        std::lock_guard lock(mutex_);
        replyLocked(to, {{"ok", false}, {"error", std::move(error)}});
    }

    void replyLocked(const ReplyTo& to, json body) {
        if (closed_ || to.client == 0 || !server_) return;
        body["id"] = to.id;
        server_->send(to.client, body);
    }

    void replySnapshotLocked(const ReplyTo& to) {
        json reply = {{"ok", true}};
        TunnelControlProtocol::writeSnapshot(state_, reply);
        replyLocked(to, std::move(reply));
    }

    // Every change of state goes to every client, in order (under mutex_).
    void publishLocked() {
        changed_.notify_all();
        if (!closed_ && server_) server_->broadcast(TunnelControlProtocol::statusEvent(state_));
    }

    // --- the run ----------------------------------------------------------

    void start(json options, ReplyTo to) {
        std::uint64_t run;
        {
            std::lock_guard lock(mutex_);
            if (closed_) return;
            if (state_.status == TunnelStatus::disconnecting && !queuedStart_) {
                // Goes ahead once the previous run has stopped (stopCompleted).
                Log::line("[Kavri] tunnel host: start queued until the tunnel has stopped");
                queuedStart_ = QueuedStart{std::move(options), std::move(to)};
                return;
            }
            if (state_.status != TunnelStatus::disconnected) {
                const std::string status(tunnelStatusName(state_.status));
                const std::string why = state_.status == TunnelStatus::disconnecting
                                            ? "another start already waits for the tunnel to stop"
                                            : "the tunnel is " + status + ", not disconnected";
                Log::line("[Kavri] tunnel host: start refused: " + why);
                return replyLocked(to, {{"ok", false}, {"error", why}});
            }
            run = beginStartLocked(std::move(to));
        }
        postStart(run, std::move(options));
    }

    // disconnected → connecting for a new run (under mutex_); its start
    // then goes to the worker (postStart).
    std::uint64_t beginStartLocked(ReplyTo to) {
        const std::uint64_t run = ++run_;
        state_ = {TunnelStatus::connecting, std::nullopt, std::nullopt};
        startWaiter_ = std::move(to);
        publishLocked();
        return run;
    }

    void postStart(std::uint64_t run, json options) {
        Log::line("[Kavri] tunnel host: starting the tunnel");
        post([this, run, options = std::move(options)]() mutable {
            dropProvider();  // a provider left by a failed start
            try {
                provider_ = makeProvider_();
            } catch (const std::exception& e) {
                return startCompleted(run, std::string(e.what()));
            }
            if (!provider_) return startCompleted(run, std::string("no provider for the run"));
            std::weak_ptr<Core> weak = weak_from_this();
            provider_->setCancelHandler([weak, run](std::optional<std::string> error) {
                if (auto core = weak.lock()) core->cancelFromProvider(run, std::move(error));
            });
            auto completed = std::make_shared<Completed>();
            auto failed = std::make_shared<std::atomic<bool>>(false);
            Once once;
            auto completion = [weak, run, once, completed, failed](std::optional<std::string> error) mutable {
                if (!once.first()) return;
                auto core = weak.lock();
                if (!core) return;
                *failed = error.has_value();
                core->startCompleted(run, std::move(error));
                core->complete(*completed);
            };
            try {
                provider_->startTunnel(std::move(options), completion);
            } catch (const std::exception& e) {
                completion(std::string(e.what()));
            }
            // A stop queued meanwhile reaches the provider only after this.
            awaitCompletion(*completed);
            if (*failed) dropProvider();
        });
    }

    void startCompleted(std::uint64_t run, std::optional<std::string> error) {
        std::lock_guard lock(mutex_);
        if (closed_ || run != run_ || state_.status != TunnelStatus::connecting) return;  // stopped meanwhile
        std::optional<ReplyTo> to = std::exchange(startWaiter_, std::nullopt);
        if (!error) {
            state_.status = TunnelStatus::connected;
            state_.connectedDate = clock_.wallNow();
            Log::line("[Kavri] tunnel host: the tunnel is connected");
            publishLocked();
            if (to) replySnapshotLocked(*to);
            return;
        }
        const std::string text = error->empty() ? "the tunnel failed to start" : *error;
        Log::line("[Kavri] !! tunnel host: start failed: " + text);
        state_ = {TunnelStatus::disconnected, std::nullopt, text};
        publishLocked();
        if (to) replyLocked(*to, {{"ok", false}, {"error", text}});
    }

    // Stops the run for a client, the host itself or the provider's cancel
    // (`cancelError` set, possibly to no text).
    void stop(ProviderStopReason reason, ReplyTo to, std::optional<std::optional<std::string>> cancelError = {}) {
        std::uint64_t run;
        {
            std::lock_guard lock(mutex_);
            if (closed_) return;
            switch (state_.status) {
                case TunnelStatus::disconnected:
                case TunnelStatus::invalid:
                    if (!cancelError) replySnapshotLocked(to);
                    return;
                case TunnelStatus::disconnecting:
                    if (cancelError) return;
                    // A start waiting for this stop came before this stop: it is over.
                    if (auto queued = std::exchange(queuedStart_, std::nullopt))
                        replyLocked(queued->to, {{"ok", false}, {"error", "the tunnel was stopped before it connected"}});
                    if (to.client) stopWaiters_.push_back(std::move(to));
                    return;
                case TunnelStatus::connecting:
                case TunnelStatus::connected:
                case TunnelStatus::reasserting:
                    break;
            }
            if (auto starter = std::exchange(startWaiter_, std::nullopt)) {
                std::string why = "the tunnel was stopped before it connected";
                if (cancelError) why = cancelError->value_or("the provider cancelled the tunnel");
                replyLocked(*starter, {{"ok", false}, {"error", why}});
            }
            run = run_;
            state_.status = TunnelStatus::disconnecting;
            if (cancelError) state_.lastError = *cancelError;
            if (!cancelError && to.client) stopWaiters_.push_back(std::move(to));
            publishLocked();
        }
        Log::line("[Kavri] tunnel host: stopping the tunnel (reason " + std::to_string(static_cast<int>(reason)) + ")");
        post([this, run, reason] {
            if (!provider_) return stopCompleted(run);  // its start failed: nothing runs
            std::weak_ptr<Core> weak = weak_from_this();
            auto completed = std::make_shared<Completed>();
            Once once;
            auto completion = [weak, run, once, completed]() mutable {
                if (!once.first()) return;
                auto core = weak.lock();
                if (!core) return;
                core->complete(*completed);
            };
            try {
                provider_->stopTunnel(reason, completion);
            } catch (const std::exception& e) {
                Log::line(std::string("[Kavri] !! tunnel host: the provider's stop failed: ") + e.what());
                completion();
            }
            awaitCompletion(*completed);
            // The run's provider goes (its tasks end) before the run counts
            // as disconnected and a new start can come.
            dropProvider();
            stopCompleted(run);
        });
    }

    void stopCompleted(std::uint64_t run) {
        std::optional<QueuedStart> queued;
        std::uint64_t next = 0;
        {
            std::lock_guard lock(mutex_);
            if (closed_ || run != run_ || state_.status != TunnelStatus::disconnecting) return;
            state_.status = TunnelStatus::disconnected;
            state_.connectedDate.reset();
            Log::line("[Kavri] tunnel host: the tunnel is disconnected");
            publishLocked();
            for (const ReplyTo& to : std::exchange(stopWaiters_, {})) replySnapshotLocked(to);
            // The start that waited for this stop goes next, before any other.
            queued = std::exchange(queuedStart_, std::nullopt);
            if (queued) next = beginStartLocked(std::move(queued->to));
        }
        if (queued) postStart(next, std::move(queued->options));
    }

    void cancelFromProvider(std::uint64_t run, std::optional<std::string> error) {
        {
            std::lock_guard lock(mutex_);
            if (run != run_) return;  // a provider of an earlier run
        }
        Log::line("[Kavri] tunnel host: the provider cancels the tunnel" + (error ? ": " + *error : std::string()));
        stop(ProviderStopReason::providerFailed, ReplyTo{}, std::optional(std::move(error)));
    }

    bool wake() {
        {
            std::lock_guard lock(mutex_);
            if (closed_ || !isUp(state_.status)) return false;
        }
        post([this] {
            if (provider_) provider_->wake();
        });
        return true;
    }

    void message(std::string data, ReplyTo to) {
        {
            std::lock_guard lock(mutex_);
            if (closed_) return;
            if (!isUp(state_.status))
                return replyLocked(to, {{"ok", false},
                                        {"error", "the tunnel is " + std::string(tunnelStatusName(state_.status)) +
                                                      "; messages go only to a connected tunnel"}});
        }
        post([this, data = std::move(data), to = std::move(to)]() mutable {
            std::weak_ptr<Core> weak = weak_from_this();
            Once once;
            auto completion = [weak, to, once](std::optional<std::string> reply) mutable {
                if (!once.first()) return;
                auto core = weak.lock();
                if (!core) return;
                std::lock_guard lock(core->mutex_);
                core->replyLocked(to, {{"ok", true},
                                       {"reply", reply ? TunnelControlProtocol::encodeData(*reply) : json(nullptr)}});
            };
            if (!provider_) return completion(std::nullopt);
            try {
                provider_->handleAppMessage(std::move(data), completion);
            } catch (const std::exception& e) {
                Log::line(std::string("[Kavri] !! tunnel host: the provider's message handler failed: ") + e.what());
                completion(std::nullopt);
            }
        });
    }

    // --- the provider's thread ------------------------------------------------

    void post(std::function<void()> job) {
        {
            std::lock_guard lock(queueMutex_);
            if (queueStopped_) return;
            queue_.push_back(std::move(job));
        }
        queueChanged_.notify_all();
    }

    // The worker waits for the completion of the start or stop it delivered
    // (or for the host to close).
    void awaitCompletion(const Completed& completed) {
        std::unique_lock lock(queueMutex_);
        queueChanged_.wait(lock, [&] { return queueStopped_ || completed.done; });
    }

    void complete(Completed& completed) {
        {
            std::lock_guard lock(queueMutex_);
            completed.done = true;
        }
        queueChanged_.notify_all();
    }

    // Only on the worker (or once it has ended).
    void dropProvider() {
        if (!provider_) return;
        provider_->setCancelHandler(nullptr);
        provider_.reset();
    }

    void runWorker() {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock lock(queueMutex_);
                queueChanged_.wait(lock, [&] { return queueStopped_ || !queue_.empty(); });
                if (queueStopped_) return;
                job = std::move(queue_.front());
                queue_.pop_front();
            }
            job();
        }
    }

    Factory makeProvider_;
    Clock& clock_;
    bool shut_ = false;
    // The current run's provider (touched only by the worker).
    std::shared_ptr<PacketTunnelProviderBase> provider_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    TunnelControlProtocol::Snapshot state_;
    std::uint64_t run_ = 0;
    std::optional<ReplyTo> startWaiter_;
    // A start that came while the previous run was stopping.
    struct QueuedStart {
        json options;
        ReplyTo to;
    };
    std::optional<QueuedStart> queuedStart_;
    std::vector<ReplyTo> stopWaiters_;
    bool closed_ = false;

    std::unique_ptr<TunnelControlServer> server_;
    std::unique_ptr<WakeDetector> wakeDetector_;

    std::mutex queueMutex_;
    std::condition_variable queueChanged_;
    std::deque<std::function<void()>> queue_;
    bool queueStopped_ = false;
    std::thread worker_;
};

TunnelHost::TunnelHost(ProviderFactory makeProvider, TunnelHostConfig config, Clock& clock)
    : core_(std::make_shared<Core>(
          [make = std::move(makeProvider)]() -> std::shared_ptr<PacketTunnelProviderBase> { return make(); }, clock)) {
    core_->open(config);
}

TunnelHost::TunnelHost(std::unique_ptr<PacketTunnelProviderBase> provider, TunnelHostConfig config, Clock& clock)
    : provider_(std::move(provider)) {
    PacketTunnelProviderBase* only = provider_.get();
    // Lent to each run, never dropped by the host.
    core_ = std::make_shared<Core>(
        [only] { return std::shared_ptr<PacketTunnelProviderBase>(only, [](PacketTunnelProviderBase*) {}); }, clock);
    core_->open(config);
}

TunnelHost::~TunnelHost() {
    core_->shutdown();
    core_.reset();
    provider_.reset();
}

TunnelControlProtocol::Snapshot TunnelHost::snapshot() const { return core_->snapshot(); }

std::filesystem::path TunnelHost::socketPath() const { return core_->socketPath(); }

bool TunnelHost::stopAndWait(ProviderStopReason reason, std::chrono::milliseconds timeout) {
    return core_->stopAndWait(reason, timeout);
}

}  // namespace kavri
