#pragma once

#include <QColor>
#include <QFont>
#include <QPainter>
#include <QRectF>
#include <QString>

namespace kavri {

// The small system symbols the views name ("bird.fill", "xmark", ...): our
// own SVG icons, drawn in one tint colour.
class Symbols {
public:
    static bool exists(const QString& name);
    // Scaled to fit `rect` with its aspect ratio kept, centred, tinted.
    // False (nothing drawn) for an unknown name.
    static bool paint(QPainter& painter, const QString& name, const QRectF& rect, const QColor& tint);
    // The side of a symbol drawn in `font`, as tall as its capitals and a quarter.
    static double side(const QFont& font);
};

// The image assets the views name ("MorvelHero"): our own artwork in its
// own colours.
class ImageAssets {
public:
    static bool exists(const QString& name);
    // Scaled to fit `rect` with its aspect ratio kept, centred.
    static bool paint(QPainter& painter, const QString& name, const QRectF& rect);
};

}  // namespace kavri
