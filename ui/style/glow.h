#pragma once

#include <QColor>
#include <QImage>
#include <QPainter>
#include <QPainterPath>

namespace kavri {

// Soft light: a Gaussian blur of what was drawn.
class Glow {
public:
    // `source` blurred with Qt's Gaussian blur of `radius` device-independent
    // pixels; the result keeps the source's size and pixel ratio.
    static QImage blurred(const QImage& source, double radius);
};

}  // namespace kavri
