#include "ui/style/fonts.h"

#include <QFontMetricsF>

#include <algorithm>

namespace kavri {

QFont Fonts::system(double points, QFont::Weight weight) {
    QFont font("Inter");
    // A point of the layout is one device-independent pixel; Qt's own
    // points are 1/72 inch at 96 dots per inch.
    font.setPointSizeF(points * 72.0 / 96.0);
    font.setWeight(weight);
    font.setHintingPreference(QFont::PreferNoHinting);
    return font;
}

QFont Fonts::emoji(double points) {
    QFont font = system(points);
    // Inter draws regional indicators as boxed letters: the colour emoji
    // font first, so that two of them make a flag.
    font.setFamilies({"Noto Color Emoji", "Apple Color Emoji", "Inter"});
    return font;
}

QFont Fonts::monospaced(double points, QFont::Weight weight, double kerning) {
    QFont font("DejaVu Sans Mono");
    font.setStyleHint(QFont::Monospace);
    font.setPointSizeF(points * 72.0 / 96.0);
    font.setWeight(weight);
    font.setLetterSpacing(QFont::AbsoluteSpacing, kerning);
    font.setHintingPreference(QFont::PreferNoHinting);
    return font;
}

namespace {
double digitCell(const QFontMetricsF& m) {
    double cell = 0;
    for (char d = '0'; d <= '9'; ++d) cell = std::max(cell, m.horizontalAdvance(QChar(d)));
    return cell;
}
}  // namespace

double Fonts::fixedDigitsWidth(const QFont& font, const QString& text) {
    const QFontMetricsF m(font);
    const double cell = digitCell(m);
    double width = 0;
    for (QChar c : text) width += c.isDigit() ? cell : m.horizontalAdvance(c);
    return width;
}

void Fonts::drawFixedDigits(QPainter& painter, const QRectF& rect, const QString& text) {
    const QFontMetricsF m(painter.font());
    const double cell = digitCell(m);
    double x = rect.center().x() - fixedDigitsWidth(painter.font(), text) / 2;
    const double baseline = rect.center().y() + (m.ascent() - m.descent()) / 2;
    for (QChar c : text) {
        const double advance = c.isDigit() ? cell : m.horizontalAdvance(c);
        const double glyph = m.horizontalAdvance(c);
        painter.drawText(QPointF(x + (advance - glyph) / 2, baseline), QString(c));
        x += advance;
    }
}

QFont Fonts::shrunkToFit(const QFont& font, const QString& text, double width, double minimumScale) {
    const double natural = QFontMetricsF(font).horizontalAdvance(text);
    if (natural <= width || natural <= 0) return font;
    QFont smaller = font;
    smaller.setPointSizeF(font.pointSizeF() * std::max(minimumScale, width / natural));
    return smaller;
}

void Fonts::drawFitted(QPainter& painter, const QRectF& rect, int alignment, const QString& text,
                       double minimumScale) {
    const QFont font = shrunkToFit(painter.font(), text, rect.width(), minimumScale);
    painter.save();
    painter.setFont(font);
    const QString shown = QFontMetricsF(font).elidedText(text, Qt::ElideRight, rect.width());
    painter.drawText(rect, alignment | Qt::TextSingleLine, shown);
    painter.restore();
}

}  // namespace kavri
