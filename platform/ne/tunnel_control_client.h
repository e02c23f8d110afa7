#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

#include <nlohmann/json.hpp>

#include "platform/ne/provider_stop_reason.h"
#include "platform/ne/tunnel_control_protocol.h"
#include "platform/ne/tunnel_options.h"
#include "platform/ne/tunnel_status.h"

namespace kavri {

// Talks to the tunnel host of the durnel process over its control socket:
// starts and stops tunnel runs, delivers provider messages and follows the
// tunnel's status. Calls block (in real time, bounded by their time-outs) and
// are safe from any thread.
class TunnelControlClient {
public:
    using Snapshot = TunnelControlProtocol::Snapshot;
    using Clock = std::chrono::steady_clock;

    class Error : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    // The control socket of the host serving `sharedDirectory`.
    static std::filesystem::path socketPath(const std::filesystem::path& sharedDirectory);

    // Connects and waits for the host's greeting (its current status). Throws
    // Error when nobody listens, the host refuses us, or the socket belongs
    // to a process that is neither our user nor root.
    explicit TunnelControlClient(const std::filesystem::path& socketPath,
                                 std::chrono::milliseconds timeout = std::chrono::seconds(3));
    ~TunnelControlClient();
    TunnelControlClient(const TunnelControlClient&) = delete;
    TunnelControlClient& operator=(const TunnelControlClient&) = delete;

    // Starts a run and waits for the provider's completion: the snapshot once
    // connected; Error with the provider's error (or the refusal) otherwise.
    Snapshot start(const TunnelOptions& options, std::chrono::milliseconds timeout = std::chrono::seconds(60));
    // Stops the run and waits until the tunnel is disconnected.
    Snapshot stop(ProviderStopReason reason = ProviderStopReason::userInitiated,
                  std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // True when the wake reached the provider (the tunnel is up).
    bool wake(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // A provider message: the reply, or nothing when the provider gave none or
    // none came within `timeout`. Throws Error when the tunnel is not
    // connected or reasserting (the message was not delivered).
    std::optional<std::string> sendMessage(std::string_view data, std::chrono::milliseconds timeout);
    Snapshot status(std::chrono::milliseconds timeout = std::chrono::seconds(5));

    // The latest status the host reported (kept current by its events).
    Snapshot latest() const;
    // Waits until the host reports `status` (now or later); false on time-out
    // or when the connection ends.
    bool waitForStatus(TunnelStatus status, std::chrono::milliseconds timeout);
    // Every status event from now on, in order, on the client's reader
    // thread, before latest() and waitForStatus show it. The callback must
    // not call back into this client.
    int subscribe(std::function<void(const Snapshot&)> onStatus);
    void unsubscribe(int subscription);

    // False once the host closed the connection.
    bool connected() const;
    // Ends the connection from our side: calls waiting for a reply fail at
    // once with Error and later ones too. Any thread; the object stays valid.
    void shutdown();

private:
    struct Pending;

    nlohmann::json call(nlohmann::json request, std::chrono::milliseconds timeout);
    void sendLine(const std::string& line);
    void readLoop(std::string buffered);
    void dispatch(const nlohmann::json& message);
    void onStatusEvent(const Snapshot& snapshot);

    int fd_ = -1;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::mutex writeMutex_;
    std::map<std::int64_t, std::shared_ptr<Pending>> pending_;
    std::int64_t nextId_ = 1;
    Snapshot latest_;
    std::uint64_t eventCount_ = 0;  // status events seen so far
    std::map<std::uint64_t, TunnelStatus> recent_;  // event number → status, a short history for waitForStatus
    bool closed_ = false;
    std::mutex subscribersMutex_;
    std::map<int, std::function<void(const Snapshot&)>> subscribers_;
    int nextSubscription_ = 1;
    std::thread reader_;
};

}  // namespace kavri
