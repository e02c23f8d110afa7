#pragma once

#include <QFont>
#include <QPainter>
#include <QRectF>
#include <QString>

namespace kavri {

// The system font (Inter) at a size in points taken as device-independent
// pixels, unrounded.
class Fonts {
public:
    static QFont system(double points, QFont::Weight weight = QFont::Normal);
    // The colour emoji font at the same size (country flags).
    static QFont emoji(double points);
    // The system's fixed-width font at a size in points, with `kerning`
    // points between letters.
    static QFont monospaced(double points, QFont::Weight weight = QFont::Normal, double kerning = 0);
    // Draws `text` centred in `rect` with every digit in a cell as wide as
    // the widest digit, so that changing digits do not move (Qt 6.4 cannot
    // ask the font for its tabular figures).
    static void drawFixedDigits(QPainter& painter, const QRectF& rect, const QString& text);
    static double fixedDigitsWidth(const QFont& font, const QString& text);
    // `font` made smaller, down to `minimumScale` of its size, until `text`
    // fits `width` on one line (what still does not fit is cut by the caller).
    static QFont shrunkToFit(const QFont& font, const QString& text, double width, double minimumScale);
    // `text` on one line in `rect`, shrunk down to `minimumScale` and then
    // cut with an ellipsis.
    static void drawFitted(QPainter& painter, const QRectF& rect, int alignment, const QString& text,
                           double minimumScale);
};

}  // namespace kavri
