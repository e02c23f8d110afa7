// Draws the app's screens in their settled states, off screen, into PNG
// files: kavri-screens [folder]. Each picture is as many device pixels as the
// screen's points times the pixel ratio (2).
#include <QApplication>
#include <QDir>
#include <QFontDatabase>
#include <QImage>

#include <cstdio>
#include <cstdlib>

#include "ui/screens/screen_gallery.h"
#include "ui/style/animations.h"

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_SCALE_FACTOR", "2");
    QApplication app(argc, argv);
    if (QFontDatabase::families().contains("Inter")) QApplication::setFont(QFont("Inter"));
    kavri::Animations::setEnabled(false);

    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::currentPath();
    if (!QDir().mkpath(folder)) {
        std::fprintf(stderr, "screens: cannot create %s\n", qPrintable(folder));
        return 1;
    }
    int failures = 0;
    for (const auto& screen : kavri::ScreenGallery::all()) {
        const QImage image = screen.render();
        const QString path = QDir(folder).filePath(QString::fromStdString(screen.name) + ".png");
        if (image.isNull() || !image.save(path)) {
            std::fprintf(stderr, "screens: %s could not be drawn\n", screen.name.c_str());
            ++failures;
            continue;
        }
        std::printf("%s (%d x %d)\n", qPrintable(path), image.width(), image.height());
    }
    return failures == 0 ? 0 : 1;
}
