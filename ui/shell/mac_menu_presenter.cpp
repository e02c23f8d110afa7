#include "ui/shell/mac_menu_presenter.h"

#include <cstdio>

#include "app/telemetry/app_telemetry.h"

namespace kavri {

MacMenuPresenter::MacMenuPresenter(MainExecutor& main, Deps deps) : main_(main), deps_(std::move(deps)), calls_(main) {
    subscriptionSub_ = deps_.subscription.subscribe([this](std::string_view field) {
        if (field == "subscriptionID") recompute();
    });
    vpnSub_ = deps_.vpn.subscribe([this](std::string_view field) {
        if (field == "status") recompute();
    });
    state_ = stateFor(deps_.vpn.status.get(), deps_.subscription.subscriptionID.get());
}

std::string MacMenuPresenter::statusText(const VPNManager::Status& status,
                                         std::optional<std::int64_t> subscriptionID) {
    using Kind = VPNManager::Status::Kind;
    switch (status.kind) {
        case Kind::disconnected:
        case Kind::invalid: return "Выключено";
        case Kind::connecting: return "Подключение…";
        case Kind::connected: {
            if (!subscriptionID) return "Подключено";
            char id[32];
            std::snprintf(id, sizeof id, "%04lld", static_cast<long long>(*subscriptionID));
            return std::string("Подключено · ID ") + id;
        }
        case Kind::reasserting: return "Восстанавливаем связь…";
        case Kind::disconnecting: return "Отключение…";
        case Kind::failed: return "Ошибка соединения";
    }
    return "Выключено";
}

MacMenuViewState MacMenuPresenter::stateFor(const VPNManager::Status& status,
                                            std::optional<std::int64_t> subscriptionID) {
    using Kind = VPNManager::Status::Kind;
    MacMenuViewState s;
    s.statusText = statusText(status, subscriptionID);
    s.connectTitle = status.kind == Kind::connected ? "Отключить" : "Подключить";
    s.connectEnabled =
        status.kind != Kind::connecting && status.kind != Kind::reasserting && status.kind != Kind::disconnecting;
    return s;
}

void MacMenuPresenter::recompute() {
    const MacMenuViewState next = stateFor(deps_.vpn.status.get(), deps_.subscription.subscriptionID.get());
    if (next == state_) return;
    state_ = next;
    if (onChange_) onChange_();
}

void MacMenuPresenter::toggleConnection() {
    // The status is read when the work begins, on the main thread, so two
    // quick choices each act on what they find.
    main_.post([this, alive = std::weak_ptr<bool>(alive_)] {
        if (alive.expired()) return;
        VPNManager& vpn = deps_.vpn;
        if (vpn.status->kind == VPNManager::Status::Kind::connected) {
            calls_.start([&vpn](StoreCalls::Call&) { vpn.disconnect(); });
            return;
        }
        deps_.telemetry.connectStartAt = deps_.clock.wallNow();
        deps_.telemetry.track("connect_start");
        calls_.start([&vpn](StoreCalls::Call&) {
            try {
                vpn.connect();
            } catch (const std::exception&) {
                // The manager publishes the status; the menu adds nothing.
            }
        });
    });
}

void MacMenuPresenter::openMainWindow() {
    if (deps_.openWindow) deps_.openWindow();
}

void MacMenuPresenter::quit() {
    if (deps_.quit) deps_.quit();
}

}  // namespace kavri
