#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/runtime/observable_store.h"
#include "app/runtime/store_calls.h"
#include "app/vpn_manager/vpn_error.h"
#include "core/kavri_store.h"
#include "platform/ne/tunnel_options.h"
#include "platform/ne/tunnel_provider_environment.h"
#include "platform/ne/tunnel_provider_manager.h"
#include "platform/runtime/clock.h"

namespace kavri {

// The app's one owner of the VPN profile of the tunnel extension: publishes
// the tunnel's status and since when it is connected, saves the profile,
// starts the tunnel with the start options that carry the engine
// configuration and the tokens, stops it, and measures connect times through
// the running tunnel.
//
// The published fields live on the main thread. saveConfiguration, connect,
// disconnect and probeRTT block (on the profile file, the extension's socket,
// a probe's reply): call them off the main thread; they reach the store's
// state through the main thread.
class VPNManager : public ObservableStore {
public:
    struct Status {
        enum class Kind { failed, disconnected, connecting, connected, reasserting, disconnecting, invalid };
        Kind kind = Kind::disconnected;
        std::string failure;  // failed: the text for the user

        static Status of(Kind kind) { return {kind, {}}; }
        static Status failed(std::string text) { return {Kind::failed, std::move(text)}; }
        bool operator==(const Status&) const = default;
    };

    struct Deps {
        // The VPN service's side; its sharedDirectory defaults to KavriStore::directory().
        TunnelProviderEnvironment tunnel;
        KavriStore* store = nullptr;  // KavriStore::shared() when none
        // The installation's device identifier, never empty (start option
        // "deviceID"); DeviceID::current() of the store when none.
        std::function<std::string()> deviceID;
        // The version of the subscription metadata in `json` (the stored
        // "cached_subscription_meta"); nothing when it does not decode.
        // SubscriptionMeta's decoding when none.
        std::function<std::optional<std::int64_t>(std::string_view json)> metadataVersion;
        Clock* clock = nullptr;  // Clock::system() when none: connected dates, the probe's time-out
    };

    // How long probeRTT waits for the extension's reply.
    static constexpr std::chrono::seconds probeTimeout{3};
    // How long pollNow waits for the extension's poll to end.
    static constexpr std::chrono::seconds pollTimeout{30};

    // Starts loading the saved profile off the main thread. Main thread.
    VPNManager(MainExecutor& main, Deps deps);
    ~VPNManager() override;

    Published<Status> status{*this, "status"};
    Published<std::optional<Clock::WallTime>> connectedSince{*this, "connectedSince"};
    // True until the saved profile has been loaded (or failed to). Main thread.
    bool loading() const { return loading_; }
    // The configuration the last saveConfiguration kept for the next connect. Main thread.
    const std::optional<std::string>& savedConfiguration() const { return savedConfigJSON_; }

    // Keeps `config` (UTF-8 bytes, an empty text included) for the next
    // connect and saves the profile; the profile's on-demand setting stays as
    // it is. Throws VPNError (invalidConfig) or TunnelProviderError.
    void saveConfiguration(std::string_view config);
    // Turns on-demand on and starts the tunnel, unless it is already
    // connecting, connected or reasserting: then it returns false at once,
    // and the tunnel keeps the configuration it runs. Throws VPNError
    // (notConfigured, missingConfigContent) or TunnelProviderError. A stale
    // profile is loaded again and started once more.
    bool connect();
    // Turns on-demand off and stops the tunnel. Never throws.
    void disconnect();
    // The TCP connect time to host:port in milliseconds, measured by the
    // extension from inside the tunnel; nothing when the tunnel is not
    // connected or reasserting, no reply comes within probeTimeout, or the
    // reply is not a number.
    std::optional<std::int64_t> probeRTT(const std::string& host, int port);
    // Has the running extension poll the subscription's configuration at
    // once and reload it when it differs from the one it runs. True when it
    // answered "ok"; false when the tunnel is not connected or reasserting,
    // the poll failed or no answer came within pollTimeout.
    bool pollNow();

    // The start options of a connect with `configContent`.
    TunnelOptions startOptions(const std::string& configContent) const;
    // The milliseconds of a probe reply: an optional sign and decimal digits,
    // nothing else, within 64 bits.
    static std::optional<std::int64_t> parseProbeReply(const std::optional<std::string>& reply);

private:
    // Main thread. Maps `reported` (a status notification's), or the
    // connection's current status.
    void updateStatus(const std::optional<TunnelProviderSession::Snapshot>& reported = std::nullopt);
    void observe();
    void stopObserving();

    std::shared_ptr<TunnelProviderManager> currentManager();
    // Sends `text` to the running extension and waits at most `wait` for its
    // reply; nothing when the tunnel is not connected or reasserting.
    std::optional<std::string> message(const std::string& text, Clock::Duration wait);
    std::string chooseConfiguration();

    Deps deps_;
    KavriStore& store_;
    Clock& clock_;
    // Main thread:
    bool loading_ = true;
    std::shared_ptr<TunnelProviderManager> manager_;
    std::optional<std::string> savedConfigJSON_;
    std::shared_ptr<TunnelProviderSession> observed_;
    int observer_ = 0;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);

    StoreCalls calls_;  // last: its calls end before the rest goes
};

}  // namespace kavri
