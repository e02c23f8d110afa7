#include "ui/main/morvel_halo.h"

#include <QFontMetricsF>
#include <QPainterPath>

#include <cmath>
#include <cstdio>
#include <limits>

#include "ui/style/animations.h"
#include "ui/style/fonts.h"
#include "ui/style/glow.h"
#include "ui/style/palette.h"

namespace kavri {

namespace {
constexpr int changeMs = 500;     // everything that comes with a change of isActive
constexpr int sweepUpMs = 550;    // the arcs growing round the ring
constexpr double glowBlur = 12;
constexpr double glowWidth = 6;
constexpr double lineWidth = 1.5;

QFont clockFont() { return Fonts::system(MorvelHalo::clockFontSize, QFont::Thin); }
}  // namespace

MorvelHalo::MorvelHalo(bool isActive, std::optional<WallTime> connectedSince, double diameter, Clock& clock,
                       QObject* parent)
    : QObject(parent),
      active_(isActive),
      since_(connectedSince),
      diameter_(diameter),
      clock_(clock),
      hero_(isActive),
      clockOpacity_(isActive && connectedSince ? 1.0 : 0.0) {
    ticker_.setSingleShot(true);
    ticker_.setTimerType(Qt::PreciseTimer);
    connect(&ticker_, &QTimer::timeout, this, &MorvelHalo::tick);
    connect(&hero_, &MorvelHero::changed, this, &MorvelHalo::changed);
    connect(&sweep_, &AnimatedValue::changed, this, &MorvelHalo::changed);
    connect(&clockOpacity_, &AnimatedValue::changed, this, [this] { emit clockChanged(clockRect()); });
    updateClock();
}

std::string MorvelHalo::elapsedText(double seconds) {
    long long t = 0;
    if (seconds >= 1) {
        t = seconds >= double(std::numeric_limits<long long>::max()) ? std::numeric_limits<long long>::max()
                                                                      : static_cast<long long>(seconds);
    }
    char text[48];
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", t / 3600, (t % 3600) / 60, t % 60);
    return text;
}

MorvelHalo::WallTime MorvelHalo::clockEntry(WallTime since, WallTime now) {
    if (now <= since) return since;
    const auto whole = std::chrono::duration_cast<std::chrono::seconds>(now - since);
    return since + whole;
}

MorvelHalo::WallTime MorvelHalo::nextTick(WallTime since, WallTime now) {
    if (now < since) return since;
    return clockEntry(since, now) + std::chrono::seconds(1);
}

QRectF MorvelHalo::clockRect() const {
    const QFontMetricsF m(clockFont());
    return QRectF(0, clockTop, diameter_, std::ceil(m.height()));
}

void MorvelHalo::setActive(bool active) {
    if (active == active_) return;
    active_ = active;
    hero_.setActive(active, changeMs, Animations::easeInOut());
    if (active) {
        startSweep();
    } else {
        sweep_.animateTo(0, changeMs, Animations::easeInOut());
    }
    updateClock();
}

void MorvelHalo::setConnectedSince(std::optional<WallTime> since) {
    if (since == since_) return;
    since_ = since;
    if (since && active_) startSweep();
    updateClock();
}

void MorvelHalo::appear() {
    sweep_.set(active_ ? 1 : 0);
    hero_.appear();
}

void MorvelHalo::startSweep() {
    sweep_.set(0);
    sweep_.animateTo(1, sweepUpMs, Animations::easeOut());
}

void MorvelHalo::updateClock() {
    clockOpacity_.animateTo(clockShown() ? 1.0 : 0.0, changeMs, Animations::easeInOut());
    tick();
}

void MorvelHalo::tick() {
    ticker_.stop();
    QString text;
    if (clockShown()) {
        const auto now = clock_.wallNow();
        const auto entry = clockEntry(*since_, now);
        text = QString::fromStdString(elapsedText(std::chrono::duration<double>(entry - *since_).count()));
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(nextTick(*since_, now) - now);
        ticker_.start(std::max<std::chrono::milliseconds::rep>(wait.count(), 1));
    }
    if (text != clockText_) {
        if (!text.isEmpty()) clockText_ = text;  // a fading clock keeps its last text
        emit clockChanged(clockRect());
    }
}

const QImage& MorvelHalo::glowRing(double dpr) {
    if (ringCache_.isNull() || ringDpr_ != dpr) {
        const double room = glowReach;
        ringCache_ = Glow::blurredDrawing(diameter_ + 2 * room, dpr, glowBlur, [&](QPainter& p) {
            p.setPen(QPen(Palette::withOpacity(Palette::haloGlow(), 0.55), glowWidth, Qt::SolidLine, Qt::FlatCap));
            p.drawEllipse(QRectF(room, room, diameter_, diameter_));
        });
        ringDpr_ = dpr;
    }
    return ringCache_;
}

void MorvelHalo::paint(QPainter& painter) {
    painter.save();
    painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing | QPainter::SmoothPixmapTransform);
    const QRectF frame(0, 0, diameter_, diameter_);

    // The rings.
    QPen idle(Palette::withOpacity(Palette::muted(), 0.5), lineWidth, Qt::SolidLine, Qt::RoundCap, Qt::MiterJoin);
    painter.setPen(idle);
    painter.setBrush(Qt::NoBrush);
    painter.drawEllipse(frame);
    const double f = sweep();
    if (f > 0) {
        const double dpr = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
        // The blurred ring, blurred once, cut to the arc's wedge while it
        // grows (Qt's angles run counter-clockwise from three o'clock: the
        // arc starts at the lowest point and grows clockwise on screen).
        const QRectF area = frame.adjusted(-glowReach, -glowReach, glowReach, glowReach);
        painter.save();
        if (f < 1) {
            QPainterPath wedge;
            wedge.moveTo(frame.center());
            wedge.arcTo(area.adjusted(-glowReach, -glowReach, glowReach, glowReach), -90, -f * 360);
            wedge.closeSubpath();
            painter.setClipPath(wedge, Qt::IntersectClip);
        }
        painter.drawImage(area, glowRing(dpr));
        painter.restore();
        QPen bright(Palette::withOpacity(Palette::haloGlow(), 0.95), lineWidth, Qt::SolidLine, Qt::RoundCap);
        painter.setPen(bright);
        if (f >= 1) {
            painter.drawEllipse(frame);
        } else {
            painter.drawArc(frame, -90 * 16, -int(std::lround(f * 360 * 16)));
        }
    }

    // The clock.
    if (clockOpacity_.value() > 0 && !clockText_.isEmpty()) {
        painter.save();
        painter.setOpacity(painter.opacity() * clockOpacity_.value());
        painter.setFont(clockFont());
        painter.setPen(Palette::withOpacity(Palette::haloGlow(), 0.9));
        Fonts::drawFixedDigits(painter, clockRect(), clockText_);
        painter.restore();
    }

    // The hero, a little below the centre.
    hero_.paint(painter, frame.translated(0, heroDrop));
    painter.restore();
}

}  // namespace kavri
