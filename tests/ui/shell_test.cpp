#include <QAction>
#include <QFile>
#include <QClipboard>
#include <QImage>
#include <QLoggingCategory>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "core/attestation_provider.h"
#include "core/kavri_store.h"
#include "platform/runtime/log.h"
#include "platform/userdata/user_data_directory.h"
#include "ui/main/mac_root_view.h"
#include "ui/object_names.h"
#include "ui/shell/app_user_defaults.h"
#include "ui/shell/clipboard_pasteboard.h"
#include "ui/shell/main_window.h"
#include "ui/shell/menu_bar_extra.h"
#include "ui/shell/qt_log.h"
#include "ui/shell/qt_main_executor.h"
#include "ui/shell/single_instance.h"
#include "tests/support/temp_dir.h"
#include "tests/ui/qt_app.h"

namespace kavri {
namespace {

// Runs the event loop until `done` holds or a generous limit passes.
template <class F>
bool spinUntil(F done) {
    for (int i = 0; i < 20000 && !done(); ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return done();
}

TEST(SingleInstanceFolderTest, WithoutARuntimeFolderEachDataFolderHasItsOwnApp) {
    test::qtApp();
    test::TempDir temp;
    const QByteArray xdg = qgetenv("XDG_RUNTIME_DIR"), data = qgetenv("KAVRI_DATA_DIR");
    qunsetenv("XDG_RUNTIME_DIR");
    qputenv("KAVRI_DATA_DIR", QByteArray::fromStdString((temp / "first").string()));
    SingleInstance first;
    qputenv("KAVRI_DATA_DIR", QByteArray::fromStdString((temp / "second").string()));
    SingleInstance second;
    xdg.isNull() ? qunsetenv("XDG_RUNTIME_DIR") : qputenv("XDG_RUNTIME_DIR", xdg);
    qputenv("KAVRI_DATA_DIR", data);

    EXPECT_EQ(first.claim(""), SingleInstance::Role::primary);
    EXPECT_EQ(second.claim(""), SingleInstance::Role::primary);  // not handed to the first
    EXPECT_EQ(first.socketPath().toStdString(), (temp / "first" / "run" / "kavri.sock").string());
    struct stat st {};
    ASSERT_EQ(::stat((temp / "first" / "run").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST(SingleInstanceFolderTest, AFolderOthersMayEnterIsRefusedAtOnce) {
    test::qtApp();
    test::TempDir temp;
    std::filesystem::create_directories(temp / "open");
    std::filesystem::permissions(temp / "open", std::filesystem::perms(0777), std::filesystem::perm_options::replace);
    LogCapture log;
    SingleInstance instance(QString::fromStdString((temp / "open").string()));
    EXPECT_EQ(instance.claim("", false, std::chrono::hours(1)), SingleInstance::Role::failed);
    EXPECT_TRUE(log.containsText("is not this user's own"));
    EXPECT_FALSE(std::filesystem::exists(temp / "open" / "kavri.lock"));
}

Q_LOGGING_CATEGORY(pluginLog, "kavri.plugin")

TEST(QtLogTest, QtsMessagesReachTheProcessLogWithTheirLevelAndCategory) {
    LogCapture log;
    const QtMessageHandler before = QtLog::install();
    qWarning("QStandardPaths: XDG_RUNTIME_DIR not set");
    qCCritical(pluginLog) << "This plugin does not support raise()";
    qInstallMessageHandler(before);
    qWarning("after");
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "[Kavri][qt] warning: QStandardPaths: XDG_RUNTIME_DIR not set",
                               "[Kavri][qt] critical kavri.plugin: This plugin does not support raise()",
                           }));
}

TEST(QtMainExecutorTest, WorkFromOtherThreadsRunsInOrderOnTheGuiThread) {
    test::qtApp();
    QtMainExecutor main;
    std::vector<int> order;
    std::atomic<int> result{0};
    std::thread worker([&] {
        for (int i = 0; i < 3; ++i) main.post([&, i] { order.push_back(i); });
        result = main.invoke([&] {
            EXPECT_TRUE(main.isMainThread());
            return static_cast<int>(order.size()) + 40;
        });
    });
    EXPECT_TRUE(spinUntil([&] { return result.load() != 0; }));
    worker.join();
    EXPECT_EQ(result.load(), 43);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
}

TEST(QtMainExecutorTest, AfterShutdownWaitingCallersGiveUp) {
    test::qtApp();
    QtMainExecutor main;
    std::atomic<bool> stopped{false};
    std::thread worker([&] {
        try {
            main.invoke([] {});
        } catch (const MainExecutor::Stopped&) {
            stopped = true;
        }
    });
    main.shutdown();  // whether the call was queued already or comes later
    worker.join();
    EXPECT_TRUE(stopped);
}

TEST(ClipboardPasteboardTest, TheInstallAttributionReadsTheDesktopClipboard) {
    test::qtApp();
    QtMainExecutor main;
    Pasteboard::install(std::make_shared<ClipboardPasteboard>(main));
    QGuiApplication::clipboard()->setText("kavriref=42 kavrilead=17.0a1b2c3d");
    nlohmann::json payload;
    std::atomic<bool> done{false};
    std::thread provisioning([&] {  // the attribution is read off the main thread
        payload = AttestationProvider::payload();
        done = true;
    });
    EXPECT_TRUE(spinUntil([&] { return done.load(); }));
    provisioning.join();
    EXPECT_EQ(payload["ref"], 42);
    EXPECT_EQ(payload["lead"], "17.0a1b2c3d");
    main.shutdown();
    std::optional<std::string> late = "unread";
    std::thread([&] { late = Pasteboard::general()->string(); }).join();
    EXPECT_EQ(late, std::nullopt);  // the main thread has stopped: empty, no wait
    Pasteboard::install(nullptr);
}

TEST(MainWindowTest, TheWindowIsMainFixedAndDark) {
    test::qtApp();
    MainWindow window(new MacRootView);
    window.show();
    EXPECT_EQ(window.objectName(), "main");
    EXPECT_EQ(window.size(), QSize(361, 656));
    EXPECT_EQ(window.minimumSize(), window.maximumSize());
    const QImage frame = window.grab().toImage();
    EXPECT_LT(frame.pixelColor(4, 650).lightness(), 40);
}

TEST(MainWindowTest, ShowingAndHidingTheContentIsReported) {
    test::qtApp();
    auto* root = new MacRootView;
    MainWindow window(root);
    QSignalSpy shown(root, &MacRootView::shown);
    QSignalSpy hidden(root, &MacRootView::hidden);
    window.show();
    window.hide();
    window.show();
    EXPECT_EQ(shown.count(), 2);
    EXPECT_EQ(hidden.count(), 1);
}

TEST(MenuBarExtraTest, TheIconIsFullOnlyWhileConnected) {
    test::qtApp();
    const auto peakAlpha = [](const QIcon& icon) {
        const QImage image = icon.pixmap(32, 32).toImage();
        int peak = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x) peak = std::max(peak, image.pixelColor(x, y).alpha());
        return peak;
    };
    MenuBarExtra extra;
    EXPECT_NEAR(peakAlpha(extra.trayIcon().icon()), 0.45 * 255, 3);
    extra.setConnected(true);
    EXPECT_EQ(peakAlpha(extra.trayIcon().icon()), 255);
    extra.setConnected(false);
    EXPECT_NEAR(peakAlpha(extra.trayIcon().icon()), 0.45 * 255, 3);
}

TEST(MenuBarExtraTest, TheMenuItemsReachTheirActions) {
    test::qtApp();
    MenuBarExtra extra;
    QSignalSpy open(&extra.menuView(), &MacMenuView::openMainWindowClicked);
    QSignalSpy quit(&extra.menuView(), &MacMenuView::quitClicked);
    extra.menu().findChild<QAction*>(ObjectName::menuOpenWindow)->trigger();
    EXPECT_EQ(open.count(), 1);
    EXPECT_EQ(quit.count(), 0);
    extra.menu().findChild<QAction*>(ObjectName::menuQuit)->trigger();
    EXPECT_EQ(quit.count(), 1);
    EXPECT_EQ(extra.menu().findChild<QAction*>(ObjectName::menuOpenWindow)->text(), "Открыть Каври");
    EXPECT_EQ(extra.menu().findChild<QAction*>(ObjectName::menuQuit)->text(), "Выйти");
}

}  // namespace
}  // namespace kavri

namespace kavri {
namespace {

TEST(AppUserDefaultsTest, TheLastActiveStateLivesInTheAppsOwnSettingsFile) {
    test::qtApp();
    EXPECT_EQ(AppUserDefaults::string("no_such_key"), "");
    AppUserDefaults::setString(AppUserDefaults::lastActiveState, "paid_cancelled");
    EXPECT_EQ(AppUserDefaults::string(AppUserDefaults::lastActiveState), "paid_cancelled");
    EXPECT_TRUE(QFile::exists(QString::fromStdString((UserDataDirectory::configPath() / "settings.ini").string())));
    EXPECT_FALSE(KavriStore::shared().string(AppUserDefaults::lastActiveState));  // not the shared store
}

}  // namespace
}  // namespace kavri
