#include "app/shell/kavri_mac_app.h"

#include "app/updater/mac_updater.h"
#include "core/kavri_constants.h"
#include "core/kavri_defaults_key.h"
#include "core/kavri_store.h"
#include "core/ru_rules.h"
#include "platform/http/url.h"
#include "platform/runtime/log.h"

namespace kavri {

KavriMacApp::KavriMacApp(MainExecutor& main, Deps deps) : main_(main), calls_(main) {
    RuRules::ensureSeeded();
    if (deps.reportAppOpen) deps.reportAppOpen();
    subscription_ = std::make_unique<SubscriptionStore>(main, std::move(deps.client), std::move(deps.api));
    vpn_ = std::make_unique<VPNManager>(main, std::move(deps.vpn));
    settings_ = std::make_unique<SettingsStore>(main);
    sysex_ = std::make_unique<SystemExtensionInstaller>(main, std::move(deps.sysex));
}

void KavriMacApp::reportOpen(AppTelemetry& telemetry) {
    if (telemetry.didSendOpen) return;
    telemetry.didSendOpen = true;
    telemetry.track("app_open");
}

KavriMacApp::~KavriMacApp() {
    calls_.cancelAll();
    calls_.waitIdle();
}

void KavriMacApp::startupTask() {
    cancelStartup();
    MacUpdater::cleanupLeftovers(sysex_->bundle());
    sysex_->activate();
    startup_ = calls_.start([this](StoreCalls::Call& call) {
        runStep(call, "ensureProvisioned", [&] { subscription_->ensureProvisioned(call); });
        runStep(call, "refresh", [&] { subscription_->refresh(call); });
        runStep(call, "refreshStatus", [&] { subscription_->refreshStatus(call); });
        updateProfile(call);
    });
}

void KavriMacApp::cancelStartup() { startup_.cancel(); }

void KavriMacApp::openURL(const std::string& url) {
    const std::string scheme = std::string(KavriConstants::urlScheme) + ":";
    if (!url.starts_with(scheme)) return;
    if (Url::host(url) == "paid") {
        calls_.start([this](StoreCalls::Call& call) {
            runStep(call, "refreshStatus", [&] { subscription_->refreshStatus(call); });
        });
        return;
    }
    calls_.start([this, url](StoreCalls::Call& call) {
        runStep(call, "pull", [&] { subscription_->pull(call, url); });
        updateProfile(call);
    });
}

void KavriMacApp::runStep(StoreCalls::Call& call, const char* name, const std::function<void()>& step) {
    if (call.cancelled()) throw StoreCalls::Cancelled();
    try {
        step();
    } catch (const StoreCalls::Cancelled&) {
        throw;
    } catch (const MainExecutor::Stopped&) {
        throw;
    } catch (const std::exception& e) {
        if (call.cancelled()) throw StoreCalls::Cancelled();
        Log::line(std::string("[Kavri] ") + name + ": " + e.what());
    }
}

void KavriMacApp::updateProfile(StoreCalls::Call& call) {
    if (!call.onMain([&] { return subscription_->hasSubscription.get(); })) return;
    const auto configuration = KavriStore::shared().data(KavriDefaultsKey::cachedSingboxConfig);
    if (!configuration) return;
    runStep(call, "saveConfiguration", [&] { vpn_->saveConfiguration(*configuration); });
}

}  // namespace kavri
