// The app: one window and a tray icon. A start while the app already runs
// hands its URL (or a request to show the window) to the running app and ends.
#include <QApplication>
#include <QFontDatabase>
#include <QTimer>

#include <cstdlib>
#include <memory>

#include "app/shell/kavri_mac_app.h"
#include "app/telemetry/app_telemetry.h"
#include "core/kavri_constants.h"
#include "platform/runtime/log.h"
#include "platform/workspace/workspace.h"
#include "ui/shell/app_scenes.h"
#include "ui/shell/clipboard_pasteboard.h"
#include "ui/shell/exit_when_exposed.h"
#include "ui/shell/qt_log.h"
#include "ui/shell/qt_main_executor.h"
#include "ui/shell/single_instance.h"

int main(int argc, char** argv) {
    using namespace kavri;
    if (std::getenv("KAVRI_LOG_QUIET")) Log::setQuiet(true);
    QtLog::install();
    QApplication qapp(argc, argv);
    QApplication::setApplicationName("kavri");
    QApplication::setQuitOnLastWindowClosed(false);
    if (QFontDatabase::families().contains("Inter")) QApplication::setFont(QFont("Inter"));

    QString url;
    bool newInstance = false;
    for (const QString& arg : QApplication::arguments().mid(1)) {
        if (arg == Workspace::newInstanceArgument) {
            newInstance = true;
        } else if (arg.startsWith(QString(KavriConstants::urlScheme) + ":")) {
            url = arg;
        }
    }

    SingleInstance instance;
    switch (instance.claim(url, newInstance)) {
        case SingleInstance::Role::primary:
            break;
        case SingleInstance::Role::handedOver:
            return 0;
        case SingleInstance::Role::failed:
            return 1;
    }

    QtMainExecutor main;
    Pasteboard::install(std::make_shared<ClipboardPasteboard>(main));
    const auto terminateAfter = [](std::chrono::milliseconds delay) {
        QTimer::singleShot(delay, qApp, [] { QCoreApplication::quit(); });
    };
    int rc = 0;
    {
        KavriMacApp app(main, {.sysex = SystemExtensionInstaller::systemDeps(terminateAfter),
                               .reportAppOpen = [] { KavriMacApp::reportOpen(AppTelemetry::shared()); }});
        AppScenes scenes(app);
        QObject::connect(&instance, &SingleInstance::messageReceived, &scenes, &AppScenes::handleMessage);
        if (std::getenv("KAVRI_EXIT_WHEN_SHOWN")) new ExitWhenExposed(scenes.window());
        scenes.show();
        if (!url.isEmpty()) scenes.handleMessage(url);
        rc = QApplication::exec();
        // Work still waiting for the main thread gives up before the app's
        // tasks are joined, so none of them waits for it in vain.
        Pasteboard::install(nullptr);
        main.shutdown();
    }
    // The app is quitting: the report under way and the queued ones go.
    AppTelemetry::shared().shutdown();
    return rc;
}
