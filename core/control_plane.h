#pragma once

#include <chrono>
#include <exception>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/control_plane_host.h"
#include "core/kavri_defaults_key.h"
#include "core/kavri_store.h"
#include "platform/runtime/clock.h"

namespace kavri {

// The backend's interchangeable hosts, the order in which they are tried and
// the failover walk every backend request runs through. Its memory (the last
// host that answered, the fallback list the server hands out) lives in the
// shared store, so the app and the extension share one order.
class ControlPlane {
public:
    // Thrown by a per-host operation: this host failed, try the next.
    struct RetryNextHost : std::exception {
        explicit RetryNextHost(std::exception_ptr why = nullptr) : underlying(std::move(why)) {}
        const char* what() const noexcept override { return "retry next host"; }
        std::exception_ptr underlying;
    };
    // Thrown by the walk when it ends without a result.
    struct Exhausted : std::exception {
        // One host the walk tried, and the error it ended with (null when
        // the host gave no reason).
        struct Attempt {
            std::string host;
            std::exception_ptr error;
        };
        explicit Exhausted(std::exception_ptr last = nullptr, std::vector<Attempt> tried = {})
            : lastError(std::move(last)), attempts(std::move(tried)) {}
        const char* what() const noexcept override { return "control plane exhausted"; }
        std::exception_ptr lastError;
        std::vector<Attempt> attempts;  // in the order tried
    };

    // The built-in hosts of the deployment, in order.
    static std::vector<ControlPlaneHost> bakedFloor();
    // The last good host while still listed, then the stored fallbacks, then
    // the built-in hosts; each once (compared without case), invalid ones out.
    static std::vector<ControlPlaneHost> orderedHosts(KavriStore& store = KavriStore::shared());
    // Replaces the stored fallback list by the cleaned form of `hosts`
    // (trimmed, valid, unique without case, at most 10); an empty result
    // leaves the stored list as it was.
    static void updateFallbacks(const std::vector<std::string>& hosts, KavriStore& store = KavriStore::shared());
    // The stored form of that cleaned list (a JSON array of texts), or
    // nothing when it is empty.
    static std::optional<std::string> fallbacksJSON(const std::vector<std::string>& hosts);
    // The stored fallbacks as they are (not yet validated).
    static std::vector<ControlPlaneHost> storedFallbacks(KavriStore& store = KavriStore::shared());

    // Runs `operation(baseURL)` on each host in order until one returns a
    // value, which is returned after the host is remembered as the last good
    // one. RetryNextHost moves on to the next host; any other exception ends
    // the walk unchanged. The budget is checked only before an attempt starts.
    template <class Op>
    static auto withFailover(double budgetSeconds, Op&& operation, Clock& clock = Clock::system(),
                             KavriStore& store = KavriStore::shared())
        -> std::invoke_result_t<Op&, const std::string&>;

private:
    static Clock::MonoTime deadlineAfter(Clock& clock, double budgetSeconds);
};

template <class Op>
auto ControlPlane::withFailover(double budgetSeconds, Op&& operation, Clock& clock, KavriStore& store)
    -> std::invoke_result_t<Op&, const std::string&> {
    using Result = std::invoke_result_t<Op&, const std::string&>;
    const auto deadline = deadlineAfter(clock, budgetSeconds);
    const auto hosts = orderedHosts(store);
    std::exception_ptr lastError;
    std::vector<Exhausted::Attempt> attempts;
    for (const auto& host : hosts) {
        const auto base = host.baseURL();
        if (!base) continue;
        if (!(clock.monoNow() < deadline)) throw Exhausted(lastError, std::move(attempts));
        try {
            if constexpr (std::is_void_v<Result>) {
                operation(*base);
                store.set(KavriDefaultsKey::cpLastGoodHost, host.host);
                return;
            } else {
                Result value = operation(*base);
                store.set(KavriDefaultsKey::cpLastGoodHost, host.host);
                return value;
            }
        } catch (const RetryNextHost& retry) {
            lastError = retry.underlying;
            attempts.push_back({host.host, retry.underlying});
        }
    }
    throw Exhausted(lastError, std::move(attempts));
}

}  // namespace kavri
