#pragma once

#include <QImage>
#include <QObject>
#include <QPainter>
#include <QRectF>

#include "ui/style/animated_value.h"

namespace kavri {

// The logo picture: the "MorvelHero" artwork, or the "bird.fill" symbol
// without it. Active, it is drawn at full strength with an accent glow and,
// when it was active as it came on screen, pulses for ever; inactive it is
// dimmed. A drawing that its host paints; `changed` asks for a repaint.
class MorvelHero : public QObject {
    Q_OBJECT
public:
    static constexpr double side = 220;
    static constexpr double activeScale = 1.05;
    static constexpr double inactiveOpacity = 0.55;
    static constexpr int pulseMs = 1800;

    explicit MorvelHero(bool isActive = false, QObject* parent = nullptr);

    bool isActive() const { return active_; }
    bool animating() const { return animate_; }
    // Changes `isActive`, animated over `ms` along `curve` (0: at once).
    void setActive(bool active, int ms, const QEasingCurve& curve);
    // The hero came on screen.
    void appear();

    double scale() const { return scale_.value(); }
    double opacity() const { return opacity_.value(); }
    double glow() const { return glow_.value(); }
    // The artwork to draw: "MorvelHero" when the app has it. Tests set
    // another name to see the fallback.
    void setAssetName(QString name) { asset_ = std::move(name); }

    // Draws the hero centred in `frame` (its own frame of side × side).
    void paint(QPainter& painter, const QRectF& frame);

signals:
    void changed();

private:
    double targetScale() const { return active_ && animate_ ? activeScale : 1.0; }
    void paintPicture(QPainter& painter, const QRectF& frame) const;
    const QImage& glowImage(double dpr);

    bool active_;
    bool animate_ = false;
    QString asset_ = "MorvelHero";
    AnimatedValue scale_{1.0};
    AnimatedValue opacity_;
    AnimatedValue glow_;
    QImage glowCache_;
    double glowDpr_ = 0;
};

}  // namespace kavri
