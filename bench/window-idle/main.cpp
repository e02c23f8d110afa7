// The main window's content drawing a connected tunnel with its running
// clock, for the idle CPU benchmark: kavri-window-idle shown|hidden SECONDS.
// "shown" puts the window on screen (off screen platform), "hidden" builds
// it and never shows it. The tunnel comes up after the window is shown, as
// it does in the app, so the logo's ring is full and the clock ticks.
#include <QApplication>
#include <QTimer>

#include <sys/resource.h>

#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <cstring>

#include "ui/main/mac_root_view.h"
#include "ui/shell/main_window.h"

int main(int argc, char** argv) {
    using namespace kavri;
    using namespace std::chrono_literals;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    if (argc < 3) return 2;
    const bool shown = std::strcmp(argv[1], "shown") == 0;
    const int seconds = std::atoi(argv[2]);
    QApplication app(argc, argv);

    auto* view = new MacRootView;
    MainWindow window(view);
    if (shown) window.show();
    QTimer::singleShot(200, &app, [view] {
        MacRootViewState s;
        s.status = RootStatus::of(false, false, VPNManager::Status::of(VPNManager::Status::Kind::connected));
        s.haloActive = true;
        s.connectedSince = Clock::system().wallNow() - 3725s;
        s.connected = true;
        s.connectLabel = "Отключить";
        view->setState(s);
    });
    const auto cpu = [] {
        rusage u{};
        ::getrusage(RUSAGE_SELF, &u);
        const auto sec = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
        return sec(u.ru_utime) + sec(u.ru_stime);
    };
    double start = 0;
    QTimer::singleShot(2000, &app, [&] { start = cpu(); });
    QTimer::singleShot(2000 + seconds * 1000, &app, [&] {
        std::printf("%.6f\n", cpu() - start);
        QCoreApplication::quit();
    });
    return QApplication::exec();
}
