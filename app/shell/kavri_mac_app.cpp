#include "app/shell/kavri_mac_app.h"

#include "app/updater/mac_updater.h"
#include "core/kavri_constants.h"
#include "core/kavri_defaults_key.h"
#include "core/kavri_store.h"
#include "core/ru_rules.h"
#include "platform/http/url.h"
#include "platform/runtime/log.h"

namespace kavri {

KavriMacApp::KavriMacApp(MainExecutor& main, Deps deps)
    : main_(main), account_(std::move(deps.account)), calls_(main) {
    RuRules::ensureSeeded();
    if (account_.reportOpen) account_.reportOpen();
    sysex_ = std::make_unique<SystemExtensionInstaller>(main, std::move(deps.sysex));
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
        runStep(call, account_.ensureProvisioned, "ensureProvisioned");
        runStep(call, account_.refresh, "refresh");
        runStep(call, account_.refreshStatus, "refreshStatus");
        updateProfile(call);
    });
}

void KavriMacApp::cancelStartup() { startup_.cancel(); }

void KavriMacApp::openURL(const std::string& url) {
    const std::string scheme = std::string(KavriConstants::urlScheme) + ":";
    if (!url.starts_with(scheme)) return;
    if (Url::host(url) == "paid") {
        calls_.start([this](StoreCalls::Call& call) { runStep(call, account_.refreshStatus, "refreshStatus"); });
        return;
    }
    calls_.start([this, url](StoreCalls::Call& call) {
        if (account_.pull) {
            runStep(call, [&](std::stop_token stop) { account_.pull(stop, url); }, "pull");
        }
        updateProfile(call);
    });
}

void KavriMacApp::runStep(StoreCalls::Call& call, const std::function<void(std::stop_token)>& step,
                          const char* name) {
    if (!step || call.cancelled()) return;
    try {
        step(call.stopToken());
    } catch (const StoreCalls::Cancelled&) {
        throw;
    } catch (const MainExecutor::Stopped&) {
        throw;
    } catch (const std::exception& e) {
        Log::line(std::string("[Kavri] ") + name + ": " + e.what());
    }
}

void KavriMacApp::updateProfile(StoreCalls::Call& call) {
    if (!account_.hasSubscription || !account_.saveConfiguration || call.cancelled()) return;
    if (!call.onMain([&] { return account_.hasSubscription(); })) return;
    const auto configuration = KavriStore::shared().data(KavriDefaultsKey::cachedSingboxConfig);
    if (!configuration) return;
    runStep(call, [&](std::stop_token stop) { account_.saveConfiguration(stop, *configuration); },
            "saveConfiguration");
}

}  // namespace kavri
