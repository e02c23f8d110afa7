#include "ui/shell/account_sheets.h"

#include <QCoreApplication>
#include <QTimer>

#include "api/app_update.h"
#include "platform/pasteboard/pasteboard.h"
#include "platform/workspace/workspace.h"
#include "ui/main/mac_root_presenter.h"
#include "ui/sheets/mac_menu_sheet.h"
#include "ui/sheets/mac_menu_sheet_presenter.h"
#include "ui/sheets/mac_plan_sheet.h"
#include "ui/sheets/mac_plan_sheet_presenter.h"

namespace kavri {

namespace {

// The host's answer comes after the click that asked for it has been
// handled, so that closing the sheet never deletes the button under it.
std::function<void()> later(QObject* context, std::function<void()> action) {
    return [context, action = std::move(action)] { QTimer::singleShot(0, context, action); };
}

}  // namespace

QWidget* AccountSheets::menu(QWidget* parent, MainExecutor& main, SubscriptionStore& subscription,
                             MacRootPresenter& root) {
    auto* sheet = new MacMenuSheet(parent);
    QObject* app = QCoreApplication::instance();
    sheet->bind(std::make_unique<MacMenuSheetPresenter>(
        main, MacMenuSheetPresenter::Deps{
                  subscription,
                  later(app, [&root] { root.menuPlansChosen(); }),
                  later(app, [&root] { root.menuDevicesChosen(); }),
                  later(app, [&root] { root.menuClosed(); }),
                  [](const std::string& url) { Workspace::openURL(url); },
                  Pasteboard::general(),
                  [](std::stop_token stop) { return AppUpdate::fetchLatest(stop); },
                  [&main] {
                      return std::make_shared<MacUpdater>(
                          main, MacUpdater::systemDeps([](std::chrono::milliseconds delay) {
                              QTimer::singleShot(delay, QCoreApplication::instance(), [] { QCoreApplication::quit(); });
                          }));
                  },
                  AppUpdate::currentBuild(),
                  AppUpdate::currentVersion(),
                  MacMenuSheetPresenter::Links::deployment()}));
    return sheet;
}

QWidget* AccountSheets::plans(QWidget* parent, MainExecutor& main, SubscriptionStore& subscription,
                              MacRootPresenter& root) {
    auto* sheet = new MacPlanSheet(parent);
    sheet->bind(std::make_unique<MacPlanSheetPresenter>(
        main, MacPlanSheetPresenter::Deps{subscription, later(QCoreApplication::instance(), [&root] {
                                              root.plansClosed();
                                          }),
                                          [](const std::string& url) { Workspace::openURL(url); }}));
    return sheet;
}

}  // namespace kavri
