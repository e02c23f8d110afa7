#include "ui/main/root_flows.h"

#include <algorithm>

#include "app/error_description.h"
#include "app/stack/catalog_holder.h"
#include "app/stack/stack_pinger.h"
#include "app/subscription_store.h"
#include "app/telemetry/app_telemetry.h"
#include "core/kavri_defaults_key.h"
#include "core/kavri_store.h"
#include "core/kavri_token.h"
#include "platform/runtime/log.h"
#include "ui/main/mac_root_presenter.h"

namespace kavri {

namespace {

using Kind = VPNManager::Status::Kind;

}  // namespace

RootFlows::SelectEffect RootFlows::effectOf(int status) {
    switch (status) {
        case 200: return SelectEffect::applied;
        case 409: return SelectEffect::unavailable;
        case 403: return SelectEffect::plans;
        default: return SelectEffect::failed;
    }
}

std::optional<std::string> RootFlows::messageOf(SelectEffect effect) {
    switch (effect) {
        case SelectEffect::unavailable: return unavailableText;
        case SelectEffect::failed: return switchFailedText;
        default: return std::nullopt;
    }
}

RootFlows::RootFlows(MainExecutor& main, MacRootPresenter& root, Ports ports)
    : main_(main), root_(root), ports_(std::move(ports)), calls_(main) {}

RootFlows::~RootFlows() = default;

void RootFlows::track(const std::string& event, std::optional<std::int64_t> ms, const nlohmann::json& extra) {
    if (ports_.telemetry) ports_.telemetry->track(event, ms, extra);
}

// ---- Connect toggle -----------------------------------------------------------

void RootFlows::toggleConnection() {
    if (root_.isToggling()) return;
    root_.setToggling(true);
    calls_.start([this](StoreCalls::Call& call) {
        toggle(call);
        call.onMain([&] { root_.setToggling(false); });
    });
}

void RootFlows::toggle(StoreCalls::Call& call) {
    const bool connected = call.onMain([&] { return ports_.vpn.status->kind == Kind::connected; });
    if (connected) {
        ports_.vpn.disconnect();
        return;
    }
    call.onMain([&] {
        if (ports_.telemetry) ports_.telemetry->connectStartAt = ports_.clock.wallNow();
        track("connect_start");
    });
    ports_.subscription.refresh(call);
    saveStoredConfiguration();
    try {
        ports_.vpn.connect();
    } catch (const std::exception&) {
        Log::line("[Kavri] connect failed: " + ErrorDescription::of(std::current_exception()));
    }
}

void RootFlows::saveStoredConfiguration() {
    const auto data = ports_.store.data(KavriDefaultsKey::cachedSingboxConfig);
    if (!data) return;
    try {
        ports_.vpn.saveConfiguration(*data);
    } catch (const std::exception&) {
        // The connect goes ahead with what the profile holds.
    }
}

// ---- The location sheet -------------------------------------------------------

void RootFlows::openStackSheet(bool manualAllowed) {
    if (!manualAllowed) {
        root_.setShowPlans(true);
        return;
    }
    CatalogHolder* holder = root_.catalogHolder();
    StackPinger* pinger = root_.pinger();
    if (!holder || !pinger) return;  // the view has not come on screen
    holder->loadCachedIfEmpty();
    root_.setShowStack(true);
    // The prober may outlive these flows by its last batch: its hooks hold
    // the VPN manager, which outlives both.
    pinger->extensionProbe = [&vpn = ports_.vpn](const std::string& host, int port) {
        return vpn.probeRTT(host, port);
    };
    pinger->tunnelActive = [&vpn = ports_.vpn] { return vpn.status->kind == Kind::connected; };
    measure();
    track("sheet_open", std::nullopt,
          {{"source", holder->source},
           {"cache_age_s", holder->cacheAgeSeconds().value_or(-1)},
           {"tunnel", isTunnelActive() ? "up" : "down"}});
}

void RootFlows::measure() {
    CatalogHolder* holder = root_.catalogHolder();
    StackPinger* pinger = root_.pinger();
    if (!holder || !pinger) return;
    const auto& catalog = holder->catalog.get();
    pinger->probe(catalog ? probeTargets(catalog->locations) : std::vector<Location>{});
}

StoreCalls::Handle RootFlows::refreshCatalog(std::string why, std::function<void(bool)> done) {
    return calls_.start([this, why = std::move(why), done = std::move(done)](StoreCalls::Call& call) {
        const auto token = call.onMain([&] { return ports_.readToken ? ports_.readToken() : std::nullopt; });
        CatalogHolder* holder = call.onMain([&] { return root_.catalogHolder(); });
        bool ok = false;
        if (token && holder) ok = holder->refresh(call, KavriToken::bare(*token), why, refreshBudgetSeconds);
        call.onMain([&] {
            if (ok) measure();
            if (done) done(ok);
        });
    });
}

std::vector<RootFlows::Location> RootFlows::probeTargets(const std::vector<Location>& locations) const {
    const bool serverKnows = std::any_of(locations.begin(), locations.end(), [](const Location& l) {
        return l.rttMs && *l.rttMs > 0 && (!l.rttAgeSec || *l.rttAgeSec < freshLatencySeconds);
    });
    if (!serverKnows) return locations;
    std::vector<Location> mine;
    const auto& stack = ports_.subscription.stack.get();
    if (!stack || !stack->location.id) return mine;
    for (const auto& l : locations)
        if (l.id == *stack->location.id) mine.push_back(l);
    return mine;
}

void RootFlows::openPlansFromStack() {
    root_.setShowStack(false);
    root_.setShowPlans(true);
}

std::optional<std::int64_t> RootFlows::probeThroughTunnel(const std::string& host, int port) {
    return ports_.vpn.probeRTT(host, port);
}

bool RootFlows::isTunnelActive() const { return ports_.vpn.status->kind == Kind::connected; }

// ---- Location or protocol switch --------------------------------------------

void RootFlows::applyStack(std::optional<std::string> location, std::optional<std::string> proto) {
    if (switch_) *switch_ = true;
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    switch_ = cancelled;
    calls_.start([this, cancelled, location = std::move(location), proto = std::move(proto)](StoreCalls::Call& call) {
        bool raised = false;
        bool pollAfter = false;
        try {
            raised = runSwitch(call, cancelled, location, proto, pollAfter);
        } catch (const StoreCalls::Cancelled&) {
            throw;
        } catch (const MainExecutor::Stopped&) {
            throw;
        } catch (const std::exception& e) {
            Log::line(std::string("[Kavri] stack switch failed: ") + e.what());
            raised = true;
        }
        // Every road of a switch that found a token ends here; one flag for
        // every switch, so an older one that ends clears it too.
        if (raised) call.onMain([&] { root_.setApplyingStack(false); });
        // The switch has ended; a tunnel that another start kept up is asked
        // for the new configuration on its own time.
        if (pollAfter) pollWhenUp(call, cancelled);
    });
}

bool RootFlows::runSwitch(StoreCalls::Call& call, const CancelFlag& cancelled,
                          const std::optional<std::string>& location, const std::optional<std::string>& proto,
                          bool& pollAfter) {
    const auto token = call.onMain([&] { return ports_.readToken ? ports_.readToken() : std::nullopt; });
    if (!token) return false;
    call.onMain([&] { root_.setApplyingStack(true); });
    const auto started = ports_.clock.monoNow();
    // Not cut short by a newer switch: the answer is still reported.
    const auto outcome = ports_.stackAPI.select(KavriToken::bare(*token), location, proto, call.stopToken());
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(ports_.clock.monoNow() - started).count();

    const SelectEffect effect = effectOf(outcome.status);
    Log::line("[Kavri] stack switch: location " + location.value_or("auto") + ", protocol " + proto.value_or("auto") +
              ": " + (effect == SelectEffect::applied ? "applied" : "not applied") + " (HTTP " +
              std::to_string(outcome.status) + ")");
    const bool wasUp = call.onMain([&] {
        if (effect == SelectEffect::plans) root_.setShowPlans(true);
        if (const auto message = messageOf(effect)) root_.setStackError(*message);
        if (effect != SelectEffect::applied) return false;
        track("stack_select", ms);
        const auto kind = ports_.vpn.status->kind;
        return kind == Kind::connected || kind == Kind::reasserting;
    });
    if (effect != SelectEffect::applied || *cancelled) return true;

    ports_.subscription.refresh(call);
    call.onMain([&] {
        // After the pull, so that the selection's answer wins.
        if (outcome.stack) ports_.subscription.stack = *outcome.stack;
        ports_.store.set(KavriDefaultsKey::pendingConfigRefresh, false);
        ports_.store.set(KavriDefaultsKey::configAppliedAt, ports_.clock.wallNow());
    });
    // Down, the new stack is taken at the next connect.
    if (!wasUp || *cancelled) return true;
    pollAfter = !reconnect(call, cancelled);
    return true;
}

bool RootFlows::reconnect(StoreCalls::Call& call, const CancelFlag& cancelled) {
    ports_.vpn.disconnect();
    const auto deadline = ports_.clock.monoNow() + reconnectWait;
    // Looked at first, so a tunnel already down costs no pause; a newer
    // switch ends the wait, since this one stops right after it.
    while (!*cancelled && call.onMain([&] { return ports_.vpn.status->kind != Kind::disconnected; }) &&
           ports_.clock.monoNow() < deadline)
        ports_.clock.sleepFor(reconnectCheck, call.stopToken());
    if (*cancelled || call.cancelled()) return true;

    saveStoredConfiguration();
    bool started = false;
    try {
        started = ports_.vpn.connect();
    } catch (const std::exception&) {
        // Silent: the status shows what the tunnel does. Refused also when
        // another start came first, with the configuration it had.
    }
    return started;
}

void RootFlows::pollWhenUp(StoreCalls::Call& call, const CancelFlag& cancelled) {
    const auto deadline = ports_.clock.monoNow() + upWait;
    for (;;) {
        // A newer switch reconnects by itself.
        if (*cancelled) return;
        const auto kind = call.onMain([&] { return ports_.vpn.status->kind; });
        if (kind == Kind::connected || kind == Kind::reasserting) break;
        // Gone down or failed meanwhile: the next connect takes the new configuration.
        if (kind != Kind::connecting || ports_.clock.monoNow() >= deadline) return;
        if (!ports_.clock.sleepFor(reconnectCheck, call.stopToken())) return;
    }
    Log::line("[Kavri] the tunnel stayed up through the reconnect: asking it for the new configuration");
    if (!ports_.vpn.pollNow()) Log::line("[Kavri] !! the tunnel did not take the new configuration");
}

}  // namespace kavri
