#pragma once

#include <QImage>
#include <QObject>
#include <QPainter>
#include <QRectF>
#include <QTimer>

#include <optional>
#include <string>

#include "platform/runtime/clock.h"
#include "ui/main/morvel_hero.h"
#include "ui/style/animated_value.h"

namespace kavri {

// The large round logo: a thin ring around the hero, an arc of light that
// sweeps once round the ring when the tunnel comes up and then stays as a
// glowing ring, and, while connected, a clock at the top that counts the
// time since `connectedSince` on whole seconds from it. A drawing of
// diameter × diameter that its host paints: `changed` asks for a full
// repaint, `clockChanged` only for the clock's rectangle (the one thing
// that repaints once a second).
class MorvelHalo : public QObject {
    Q_OBJECT
public:
    using WallTime = Clock::WallTime;

    static constexpr double clockTop = 24;
    static constexpr double heroDrop = 14;
    static constexpr double clockFontSize = 15;
    // How far the glow reaches outside the frame.
    static constexpr double glowReach = 30;

    MorvelHalo(bool isActive, std::optional<WallTime> connectedSince, double diameter,
               Clock& clock = Clock::system(), QObject* parent = nullptr);

    // "H:MM:SS" of an interval in seconds: truncated toward zero, negative
    // as 0, hours unbounded.
    static std::string elapsedText(double seconds);
    // The clock's entry for `now`: `since` plus the whole seconds passed
    // (`since` itself before it).
    static WallTime clockEntry(WallTime since, WallTime now);
    // When the clock shows its next text.
    static WallTime nextTick(WallTime since, WallTime now);

    bool isActive() const { return active_; }
    const std::optional<WallTime>& connectedSince() const { return since_; }
    double diameter() const { return diameter_; }
    // The fraction of the ring the arcs cover this moment.
    double sweep() const { return sweep_.value(); }
    bool clockShown() const { return active_ && since_.has_value(); }
    // What the clock shows now ("" while hidden).
    QString clockText() const { return clockText_; }
    QRectF clockRect() const;
    MorvelHero& hero() { return hero_; }

    void setActive(bool active);
    void setConnectedSince(std::optional<WallTime> since);
    // The halo came on screen: the ring is drawn full when active, without a sweep.
    void appear();
    // Reads the clock and shows the entry due; schedules the next one.
    void tick();

    // Draws into the square (0, 0, diameter, diameter) of the painter.
    void paint(QPainter& painter);

signals:
    void changed();
    void clockChanged(QRectF rect);

private:
    void startSweep();
    void updateClock();
    // The glow of the whole ring, blurred once per pixel ratio.
    const QImage& glowRing(double dpr);

    bool active_;
    std::optional<WallTime> since_;
    double diameter_;
    Clock& clock_;
    MorvelHero hero_;
    AnimatedValue sweep_;
    AnimatedValue clockOpacity_;
    QString clockText_;
    QTimer ticker_;
    QImage ringCache_;
    double ringDpr_ = 0;
};

}  // namespace kavri
