#include "ui/sheets/platform_tiles.h"

#include <QFontMetricsF>
#include <QPainter>

#include <algorithm>
#include <array>
#include <cmath>

#include "ui/style/fonts.h"
#include "ui/style/palette.h"
#include "ui/style/symbols.h"

namespace kavri {

namespace {

struct Tile {
    const char* label;
    const char* asset;
};
constexpr std::array<Tile, 4> tiles{{{"Android", "PlatformAndroid"},
                                     {"iPhone", "PlatformApple"},
                                     {"Windows", "PlatformWindows"},
                                     {"Firefox", "PlatformFirefox"}}};

QFont labelFont() { return Fonts::system(11); }

double tileWidth(const Tile& t) {
    return std::max(PlatformTiles::iconFrame, QFontMetricsF(labelFont()).horizontalAdvance(t.label));
}

}  // namespace

PlatformTiles::PlatformTiles(QWidget* parent) : QWidget(parent) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

QSize PlatformTiles::sizeHint() const {
    double w = spacing * (tiles.size() - 1);
    for (const auto& t : tiles) w += tileWidth(t);
    const double h = iconFrame + labelSpacing + QFontMetricsF(labelFont()).height();
    return QSize(int(std::ceil(w)), int(std::ceil(h)));
}

void PlatformTiles::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
    double x = (width() - sizeHint().width()) / 2.0;
    const QFontMetricsF m(labelFont());
    p.setFont(labelFont());
    p.setPen(Palette::textSecondary());
    for (const auto& t : tiles) {
        const double w = tileWidth(t);
        const double cx = x + w / 2;
        const QRectF icon(cx - iconFrame / 2, (iconFrame - iconHeight) / 2, iconFrame, iconHeight);
        ImageAssets::paint(p, t.asset, icon);
        p.drawText(QRectF(x, iconFrame + labelSpacing, w, m.height()), Qt::AlignHCenter | Qt::AlignTop, t.label);
        x += w + spacing;
    }
}

}  // namespace kavri
