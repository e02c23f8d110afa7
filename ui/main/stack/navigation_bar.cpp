#include "ui/main/stack/navigation_bar.h"

#include <QFontMetricsF>
#include <QPainter>

#include "ui/style/fonts.h"
#include "ui/style/palette.h"
#include "ui/style/plain_button.h"
#include "ui/style/symbols.h"

namespace kavri {

namespace {
QFont titleFont() { return Fonts::system(15, QFont::DemiBold); }
}  // namespace

NavigationBar::NavigationBar(QWidget* parent) : QWidget(parent) { setFixedHeight(int(barHeight)); }

void NavigationBar::setTitle(const QString& title) {
    if (title == title_) return;
    title_ = title;
    update();
}

PlainButton* NavigationBar::addItem(Edge edge, const QString& symbol, const QFont& symbolFont, const QColor& color) {
    const double side = Symbols::side(symbolFont);
    const double padding = (itemSide - side) / 2;
    auto* button = new PlainButton("", {symbolFont, color, symbol, symbolFont, 0, padding, 0}, this);
    (edge == Edge::leading ? leading_ : trailing_) = button;
    resizeEvent(nullptr);
    return button;
}

void NavigationBar::resizeEvent(QResizeEvent*) {
    if (leading_) leading_->setGeometry(0, 0, int(itemSide), int(itemSide));
    if (trailing_) trailing_->setGeometry(width() - int(itemSide), 0, int(itemSide), int(itemSide));
}

void NavigationBar::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
    const QRectF text = QRectF(rect()).adjusted(itemSide + 4, 0, -itemSide - 4, 0);
    p.setFont(titleFont());
    p.setPen(Palette::text());
    p.drawText(text, Qt::AlignCenter, QFontMetricsF(titleFont()).elidedText(title_, Qt::ElideRight, text.width()));
}

}  // namespace kavri
