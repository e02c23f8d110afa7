#pragma once

#include <QColor>
#include <QImage>
#include <QPainter>
#include <QPainterPath>

#include <functional>

namespace kavri {

// Soft light: a Gaussian blur of what was drawn.
class Glow {
public:
    // `source` blurred with Qt's Gaussian blur of `radius` device-independent
    // pixels; the result keeps the source's size and pixel ratio.
    static QImage blurred(const QImage& source, double radius);
    // What `draw` paints (antialiased) on a transparent square of `side`
    // points at pixel ratio `dpr`, blurred by `radius`.
    static QImage blurredDrawing(double side, double dpr, double radius, const std::function<void(QPainter&)>& draw);
};

}  // namespace kavri
