#include "ui/shell/app_scenes.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QUrl>

#include "app/shell/kavri_mac_app.h"
#include "app/telemetry/app_telemetry.h"
#include "core/keychain.h"
#include "ui/main/mac_root_view.h"
#include "ui/sheets/mac_devices_sheet.h"
#include "ui/sheets/mac_devices_sheet_presenter.h"
#include "ui/shell/app_user_defaults.h"

namespace kavri {

AppScenes::AppScenes(KavriMacApp& app, QObject* parent)
    : QObject(parent),
      app_(app),
      presenter_(std::make_unique<MacRootPresenter>(
          app.mainExecutor(),
          rootPresenterDeps(app.subscription(), app.vpn(), app.sysex(),
                            [](const std::string& event, std::int64_t ms, const nlohmann::json& extra) {
                                AppTelemetry::shared().track(event, ms, extra);
                            },
                            &AppTelemetry::shared()))),
      root_(new MacRootView),
      window_(root_),
      menuPresenter_(app.mainExecutor(), {app.subscription(), app.vpn(), AppTelemetry::shared(),
                                          [this] { window_.bringForward(); }, [] { QCoreApplication::quit(); }}),
      sheetCalls_(app.mainExecutor()) {
    // The start-up task first, then the presenter's own work.
    connect(root_, &MacRootView::shown, this, [this] { app_.startupTask(); });
    connect(root_, &MacRootView::hidden, this, [this] { app_.cancelStartup(); });
    root_->bind(*presenter_);
    // The devices sheet, built anew each time it opens; its requests run on
    // the scenes' own calls, so that one started there ends even after it closed.
    root_->setSheetContent(2, [this](QWidget* parent) {
        auto* sheet = new MacDevicesSheet(parent);
        sheet->own(std::make_unique<MacDevicesSheetPresenter>(MacDevicesSheetPresenter::keychainDeps(
            app_.subscription(), sheetCalls_, DeviceLinkAPI(),
            [](const std::string& url) { QDesktopServices::openUrl(QUrl(QString::fromStdString(url))); },
            [this] { presenter_->devicesClosed(); })));
        return sheet;
    });
    extra_.menuView().bind(menuPresenter_);
    const auto followStatus = [this] {
        extra_.setConnected(app_.vpn().status->kind == VPNManager::Status::Kind::connected);
    };
    vpnStatus_ = app_.vpn().subscribe([followStatus](std::string_view field) {
        if (field == "status") followStatus();
    });
    followStatus();
}

MacRootPresenter::Deps AppScenes::rootPresenterDeps(SubscriptionStore& subscription, VPNManager& vpn,
                                                    SystemExtensionInstaller& sysex, CatalogHolder::Track track,
                                                    AppTelemetry* telemetry) {
    return {subscription,
            vpn,
            sysex,
            KavriStore::shared(),
            [] { return Keychain::read(Keychain::Item::subToken); },
            StackAPI(),
            std::move(track),
            [] { return AppUserDefaults::string(AppUserDefaults::lastActiveState); },
            [](const std::string& value) { AppUserDefaults::setString(AppUserDefaults::lastActiveState, value); },
            telemetry};
}

void AppScenes::show() {
    extra_.show();
    window_.bringForward();
}

void AppScenes::handleMessage(const QString& message) {
    if (message.isEmpty()) {
        window_.bringForward();
        return;
    }
    app_.openURL(message.toStdString());
}

}  // namespace kavri
