#include "ui/shell/account_sheets.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QTimer>
#include <QUrl>

#include "api/app_update.h"
#include "platform/pasteboard/pasteboard.h"
#include "ui/main/mac_root_presenter.h"
#include "ui/sheets/mac_menu_sheet.h"
#include "ui/sheets/mac_menu_sheet_presenter.h"
#include "ui/sheets/mac_plan_sheet.h"
#include "ui/sheets/mac_plan_sheet_presenter.h"

namespace kavri {

namespace {

void openInBrowser(const std::string& url) { QDesktopServices::openUrl(QUrl(QString::fromStdString(url))); }

}  // namespace

AccountSheets::AccountSheets(MainExecutor& main, SubscriptionStore& subscription, MacRootPresenter& root,
                             QObject* parent)
    : QObject(parent), main_(main), subscription_(subscription), root_(root) {}

QWidget* AccountSheets::menu(QWidget* parent) {
    // The host's answer comes after the click that asked for it has been
    // handled, so that closing the sheet never deletes the button under it.
    const auto later = [this](void (MacRootPresenter::*action)()) {
        return [this, action] { QTimer::singleShot(0, this, [this, action] { (root_.*action)(); }); };
    };
    auto* sheet = new MacMenuSheet(parent);
    sheet->bind(std::make_unique<MacMenuSheetPresenter>(
        main_, MacMenuSheetPresenter::Deps{
                   subscription_,
                   later(&MacRootPresenter::menuPlansChosen),
                   later(&MacRootPresenter::menuDevicesChosen),
                   later(&MacRootPresenter::menuClosed),
                   openInBrowser,
                   Pasteboard::general(),
                   [](std::stop_token stop) { return AppUpdate::fetchLatest(stop); },
                   [this] {
                       return std::make_shared<MacUpdater>(
                           main_, MacUpdater::systemDeps([](std::chrono::milliseconds delay) {
                               QTimer::singleShot(delay, QCoreApplication::instance(), [] { QCoreApplication::quit(); });
                           }));
                   },
                   [this](std::shared_ptr<MacUpdater> updater) { installing_.push_back(std::move(updater)); },
                   AppUpdate::currentBuild(),
                   AppUpdate::currentVersion(),
                   MacMenuSheetPresenter::Links::deployment()}));
    return sheet;
}

QWidget* AccountSheets::plans(QWidget* parent) {
    auto* sheet = new MacPlanSheet(parent);
    sheet->bind(std::make_unique<MacPlanSheetPresenter>(
        main_, MacPlanSheetPresenter::Deps{
                   subscription_,
                   [this] { QTimer::singleShot(0, this, [this] { root_.plansClosed(); }); },
                   openInBrowser}));
    return sheet;
}

}  // namespace kavri
