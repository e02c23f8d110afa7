#include "ui/main/mac_root_presenter.h"

#include "core/kavri_defaults_key.h"
#include "core/kavri_token.h"

namespace kavri {

MacRootPresenter::MacRootPresenter(MainExecutor& main, Deps deps)
    : main_(main), deps_(std::move(deps)), calls_(main) {
    flows_ = std::make_unique<RootFlows>(main_, *this,
                                         RootFlows::Ports{deps_.subscription, deps_.vpn, deps_.store, deps_.readToken,
                                                          deps_.stackAPI, deps_.telemetry, deps_.clock});
    if (deps_.loadLastActiveState) lastActiveState_ = deps_.loadLastActiveState();
    seenState_ = deps_.subscription.state.get();
    subscriptionSub_ = deps_.subscription.subscribe([this](std::string_view field) {
        if (field == deps_.subscription.state.name()) accountStateChanged();
        recompute();
    });
    vpnSub_ = deps_.vpn.subscribe([this](std::string_view) { recompute(); });
    sysexSub_ = deps_.sysex.subscribe([this](std::string_view) { recompute(); });
    recompute();
}

MacRootPresenter::~MacRootPresenter() {
    loop_.cancel();
    subscriptionSub_.reset();
    vpnSub_.reset();
    sysexSub_.reset();
}

bool MacRootPresenter::isBlocked() const {
    const auto& s = deps_.subscription.state.get();
    if (s && *s == SubscriptionState::expired) return true;
    return deps_.store.boolValue(KavriDefaultsKey::deviceRemoved);
}

bool MacRootPresenter::disconnectsOnExpiry(const VPNManager::Status& status) {
    using Kind = VPNManager::Status::Kind;
    return status.kind == Kind::connected || status.kind == Kind::connecting;
}

void MacRootPresenter::recompute() {
    using Kind = VPNManager::Status::Kind;
    using SysKind = SystemExtensionInstaller::State::Kind;
    const auto& vpn = deps_.vpn.status.get();
    const auto sysex = deps_.sysex.state->kind;
    const bool deviceRemoved = deps_.store.boolValue(KavriDefaultsKey::deviceRemoved);
    const bool blocked = isBlocked();
    const bool busy =
        isToggling_ || vpn.kind == Kind::connecting || vpn.kind == Kind::reasserting || vpn.kind == Kind::disconnecting;

    MacRootViewState s;
    s.showsSetupGuide = !(sysex == SysKind::idle || sysex == SysKind::installing || sysex == SysKind::installed);
    s.status = RootStatus::of(blocked, isToggling_, vpn);
    s.haloActive = vpn.kind == Kind::connected && !blocked;
    s.connectedSince = deps_.vpn.connectedSince.get();
    s.logoEnabled = !isToggling_;
    s.banner = AccountBanner::choose({deviceRemoved, deps_.subscription.state.get(), deps_.subscription.daysLeft.get(),
                                      deps_.subscription.expiresAt.get(), lastActiveState_},
                                     deps_.clock);
    s.showsStackCard = deps_.subscription.stack->has_value();
    s.stackCardBusy = applyingStack_;
    s.stack = deps_.subscription.stack.get();
    s.connected = vpn.kind == Kind::connected;
    s.connectLabel = s.connected ? "Отключить" : "Подключить";
    s.connectBusy = busy;
    s.connectOpacity = blocked ? 0.4 : 1.0;
    s.connectEnabled = !busy && !blocked;
    s.showMenu = showMenu_;
    s.showPlans = showPlans_;
    s.showDevices = showDevices_;
    s.showStack = showStack_;
    s.stackError = stackError_;
    if (s == state_) return;
    state_ = std::move(s);
    if (onChange_) onChange_();
}

void MacRootPresenter::accountStateChanged() {
    const auto now = deps_.subscription.state.get();
    if (now == seenState_) return;  // every assignment notifies; only changes count
    seenState_ = now;
    // The handler belongs to the main column: under the setup guide a change writes nothing.
    if (!now || state_.showsSetupGuide) return;
    if (*now != SubscriptionState::expired) {
        lastActiveState_ = std::string(now->rawValue());
        if (deps_.saveLastActiveState) deps_.saveLastActiveState(lastActiveState_);
        return;
    }
    if (disconnectsOnExpiry(deps_.vpn.status.get())) {
        // Runs to its end on its own, also when the view goes away.
        calls_.start([&vpn = deps_.vpn](StoreCalls::Call&) { vpn.disconnect(); });
    }
}

void MacRootPresenter::appear() {
    if (!pinger_) pinger_ = std::make_unique<StackPinger>(main_, deps_.clock, deps_.connector);
    if (!catalogHolder_)
        catalogHolder_ = std::make_unique<CatalogHolder>(main_, deps_.stackAPI, deps_.track, deps_.clock);
    loop_.cancel();
    loop_ = calls_.start([this](StoreCalls::Call& call) { catalogLoop(call); });
    recompute();
}

void MacRootPresenter::disappear() { loop_.cancel(); }

void MacRootPresenter::catalogLoop(StoreCalls::Call& call) {
    while (!call.cancelled()) {
        const auto token = call.onMain([&] { return deps_.readToken ? deps_.readToken() : std::nullopt; });
        if (token) {
            const bool ok =
                catalogHolder_->refresh(call, KavriToken::bare(*token), catalogWhy, catalogBudgetSeconds);
            if (ok) {
                call.onMain([&] {
                    if (!showStack_) return;
                    const auto& catalog = catalogHolder_->catalog.get();
                    pinger_->probe(catalog ? flows_->probeTargets(catalog->locations)
                                           : std::vector<StackAPI::Catalog::Location>{});
                });
            }
        }
        deps_.clock.sleepFor(catalogInterval, call.stopToken());
    }
}

void MacRootPresenter::menuClicked() {
    showMenu_ = true;
    recompute();
}

void MacRootPresenter::logoClicked() {
    if (isToggling_) return;
    connectClicked();
}

void MacRootPresenter::connectClicked() { flows_->toggleConnection(); }

void MacRootPresenter::stackCardClicked() {
    const auto& stack = deps_.subscription.stack.get();
    if (stack) flows_->openStackSheet(stack->manualAllowed);
}

void MacRootPresenter::payClicked() { setShowPlans(true); }

void MacRootPresenter::restoreAccessClicked() {
    showDevices_ = true;
    recompute();
}

void MacRootPresenter::menuPlansChosen() {
    showMenu_ = false;
    showPlans_ = true;
    recompute();
}

void MacRootPresenter::menuDevicesChosen() {
    showMenu_ = false;
    showDevices_ = true;
    recompute();
}

void MacRootPresenter::menuClosed() {
    showMenu_ = false;
    recompute();
}

void MacRootPresenter::plansClosed() { setShowPlans(false); }

void MacRootPresenter::devicesClosed() {
    showDevices_ = false;
    recompute();
}

void MacRootPresenter::stackClosed() { setShowStack(false); }

void MacRootPresenter::alertDismissed() { setStackError(std::nullopt); }

void MacRootPresenter::setToggling(bool on) {
    isToggling_ = on;
    recompute();
}

void MacRootPresenter::setApplyingStack(bool on) {
    applyingStack_ = on;
    recompute();
}

void MacRootPresenter::setStackError(std::optional<std::string> message) {
    stackError_ = std::move(message);
    recompute();
}

void MacRootPresenter::setShowStack(bool on) {
    showStack_ = on;
    recompute();
}

void MacRootPresenter::setShowPlans(bool on) {
    showPlans_ = on;
    recompute();
}

}  // namespace kavri
