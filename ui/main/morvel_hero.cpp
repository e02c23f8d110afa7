#include "ui/main/morvel_hero.h"

#include "ui/style/animations.h"
#include "ui/style/glow.h"
#include "ui/style/palette.h"
#include "ui/style/symbols.h"

namespace kavri {

namespace {
constexpr double glowRadius = 30;
constexpr double glowOpacity = 0.4;
}  // namespace

MorvelHero::MorvelHero(bool isActive, QObject* parent)
    : QObject(parent), active_(isActive), opacity_(isActive ? 1.0 : inactiveOpacity), glow_(isActive ? 1.0 : 0.0) {
    for (auto* v : {&scale_, &opacity_, &glow_}) connect(v, &AnimatedValue::changed, this, &MorvelHero::changed);
}

void MorvelHero::setActive(bool active, int ms, const QEasingCurve& curve) {
    if (active == active_) return;
    active_ = active;
    opacity_.animateTo(active ? 1.0 : inactiveOpacity, ms, curve);
    glow_.animateTo(active ? 1.0 : 0.0, ms, curve);
    // A change of `isActive` alone moves the scale once; it never starts the pulse.
    scale_.animateTo(targetScale(), ms, curve);
    emit changed();
}

void MorvelHero::appear() {
    if (animate_) return;
    animate_ = true;
    if (active_) scale_.swingTo(activeScale, pulseMs, Animations::easeInOut());
}

void MorvelHero::paintPicture(QPainter& painter, const QRectF& frame) const {
    if (ImageAssets::paint(painter, asset_, frame)) return;
    Symbols::paint(painter, "bird.fill", frame, active_ ? Palette::accent() : Palette::textSecondary());
}

const QImage& MorvelHero::glowImage(double dpr) {
    if (glowCache_.isNull() || glowDpr_ != dpr) {
        // The picture's silhouette in the accent colour, blurred, with room
        // for the blur around it.
        const double room = 2 * glowRadius;
        const double whole = side + 2 * room;
        glowCache_ = Glow::blurredDrawing(whole, dpr, glowRadius, [&](QPainter& p) {
            paintPicture(p, QRectF(room, room, side, side));
            p.setCompositionMode(QPainter::CompositionMode_SourceIn);
            p.fillRect(QRectF(0, 0, whole, whole), Palette::withOpacity(Palette::accent(), glowOpacity));
        });
        glowDpr_ = dpr;
    }
    return glowCache_;
}

void MorvelHero::paint(QPainter& painter, const QRectF& frame) {
    painter.save();
    const QPointF c = frame.center();
    painter.translate(c);
    painter.scale(scale(), scale());
    painter.translate(-c);
    const QRectF box(c.x() - side / 2, c.y() - side / 2, side, side);
    painter.setOpacity(painter.opacity() * opacity());
    if (glow() > 0) {
        const double dpr = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
        const QImage& g = glowImage(dpr);
        const double room = 2 * glowRadius;
        painter.save();
        painter.setOpacity(painter.opacity() * glow());
        painter.drawImage(QRectF(box.x() - room, box.y() - room, side + 2 * room, side + 2 * room), g);
        painter.restore();
    }
    paintPicture(painter, box);
    painter.restore();
}

}  // namespace kavri
