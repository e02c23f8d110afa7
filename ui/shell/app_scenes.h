#pragma once

#include <QObject>
#include <QString>

#include <memory>

#include "app/runtime/observable_store.h"
#include "app/runtime/store_calls.h"
#include "ui/main/mac_root_presenter.h"
#include "ui/shell/mac_menu_presenter.h"
#include "ui/shell/main_window.h"
#include "ui/shell/menu_bar_extra.h"

namespace kavri {

class KavriMacApp;
class MacRootPresenter;
class MacRootView;

// The app's two scenes, the main window and the menu-bar extra, tied to the
// app: the window's content draws the app's own stores through its
// presenter, which reports its catalog fetches to the app's telemetry; the
// start-up task runs each time the content is shown and is cancelled when
// it goes away; messages from later starts open URLs or bring the window
// forward. The tray icon follows the tunnel's status.
class AppScenes : public QObject {
    Q_OBJECT
public:
    explicit AppScenes(KavriMacApp& app, QObject* parent = nullptr);

    MainWindow& window() { return window_; }
    MacRootView& rootView() { return *root_; }
    MacRootPresenter& rootPresenter() { return *presenter_; }
    // What the root view's presenter takes in the app: the keychain's token,
    // the shared store, the app's own settings file; `track` reports the
    // catalog fetches (nothing when empty), `telemetry` the flows' events.
    static MacRootPresenter::Deps rootPresenterDeps(SubscriptionStore& subscription, VPNManager& vpn,
                                                    SystemExtensionInstaller& sysex, CatalogHolder::Track track,
                                                    AppTelemetry* telemetry);
    MenuBarExtra& menuBarExtra() { return extra_; }

    // Shows the window and the tray icon.
    void show();
    // A later start's message: a URL, or nothing (show the window).
    void handleMessage(const QString& message);

private:
    KavriMacApp& app_;
    std::unique_ptr<MacRootPresenter> presenter_;  // before the window: it outlives the view bound to it
    MacRootView* root_;
    MainWindow window_;
    MacMenuPresenter menuPresenter_;  // before the menu: it outlives the view bound to it
    MenuBarExtra extra_;
    ObservableStore::Subscription vpnStatus_;
    StoreCalls sheetCalls_;  // last: its calls end before the views and presenters they reach
};

}  // namespace kavri
