#include "ui/style/symbols.h"

#include <QFile>
#include <QFontMetricsF>
#include <QHash>
#include <QImage>
#include <QPixmap>
#include <QPixmapCache>
#include <QSvgRenderer>

#include <cmath>

namespace kavri {

namespace {

QString symbolPath(const QString& name) { return ":/symbols/" + name + ".svg"; }
QString assetPath(const QString& name) { return ":/images/" + name + ".svg"; }

QRectF fitted(const QSizeF& natural, const QRectF& rect) {
    QSizeF size = natural.scaled(rect.size(), Qt::KeepAspectRatio);
    return QRectF(rect.center().x() - size.width() / 2, rect.center().y() - size.height() / 2, size.width(),
                  size.height());
}

// The parsed picture at `path`, read once; null when there is none.
QSvgRenderer* renderer(const QString& path) {
    // Lives with the process and is never destroyed: no renderer outlives
    // its table, so a leak checker at exit finds every one still reachable.
    static auto& parsed = *new QHash<QString, QSvgRenderer*>;
    auto it = parsed.find(path);
    if (it == parsed.end()) it = parsed.insert(path, QFile::exists(path) ? new QSvgRenderer(path) : nullptr);
    return it.value();
}

// The picture at `path` rendered for `target`, optionally tinted; cached.
bool paintSvg(QPainter& painter, const QString& path, const QRectF& rect, const QColor* tint) {
    QSvgRenderer* svg = renderer(path);
    if (!svg) return false;
    const double dpr = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
    const double scale = std::hypot(painter.worldTransform().m11(), painter.worldTransform().m12());
    const QRectF target = fitted(svg->defaultSize(), rect);
    const QSize pixels(int(std::ceil(target.width() * dpr * scale)), int(std::ceil(target.height() * dpr * scale)));
    if (pixels.isEmpty()) return true;
    const QString key = QString("kavri-svg:%1:%2x%3:%4").arg(path).arg(pixels.width()).arg(pixels.height()).arg(
        tint ? tint->name(QColor::HexArgb) : QString());
    QPixmap pixmap;
    if (!QPixmapCache::find(key, &pixmap)) {
        QImage image(pixels, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        {
            QPainter p(&image);
            p.setRenderHint(QPainter::Antialiasing);
            svg->render(&p, QRectF(QPointF(0, 0), QSizeF(pixels)));
            if (tint) {
                p.setCompositionMode(QPainter::CompositionMode_SourceIn);
                p.fillRect(image.rect(), *tint);
            }
        }
        pixmap = QPixmap::fromImage(image);
        QPixmapCache::insert(key, pixmap);
    }
    painter.save();
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawPixmap(target, pixmap, QRectF(pixmap.rect()));
    painter.restore();
    return true;
}

}  // namespace

bool Symbols::exists(const QString& name) { return renderer(symbolPath(name)) != nullptr; }

double Symbols::side(const QFont& font) { return QFontMetricsF(font).capHeight() * 1.25; }

bool Symbols::paint(QPainter& painter, const QString& name, const QRectF& rect, const QColor& tint) {
    return paintSvg(painter, symbolPath(name), rect, &tint);
}

bool ImageAssets::exists(const QString& name) { return renderer(assetPath(name)) != nullptr; }

bool ImageAssets::paint(QPainter& painter, const QString& name, const QRectF& rect) {
    return paintSvg(painter, assetPath(name), rect, nullptr);
}

}  // namespace kavri
