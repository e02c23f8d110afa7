#pragma once

#include <QEasingCurve>
#include <QObject>
#include <QVariantAnimation>

#include <functional>

#include "ui/style/spring.h"

namespace kavri {

// One number that a view draws with, moved by Qt's animation framework: at
// once, along a curve, or back and forth for ever. While animations are off
// (Animations::setEnabled) every change lands on its end value at once.
class AnimatedValue : public QObject {
    Q_OBJECT
public:
    explicit AnimatedValue(double initial = 0, QObject* parent = nullptr);

    double value() const { return value_; }
    bool running() const;

    // Stops any motion and takes `v`.
    void set(double v);
    // Moves from the current value to `to` in `ms` along `curve`.
    void animateTo(double to, int ms, const QEasingCurve& curve);
    // Moves from the current value to `to` along `spring`, overshooting
    // as it does.
    void springTo(double to, const Spring& spring);
    // Swings between the current value and `to`, `ms` each way, for ever.
    void swingTo(double to, int ms, const QEasingCurve& curve);

signals:
    void changed(double value);
    // A motion came to its end on its own (not when stopped or replaced).
    void finished();

private:
    void take(double v);
    // Plays `steps` + 1 keys from the current value towards `to`, each at
    // `progress` of its place in 0…1, over `ms`, `loops` times (-1: for ever).
    void sampled(double to, int ms, int loops, int steps, const std::function<double(double)>& progress);

    double value_;
    QVariantAnimation animation_;
};

}  // namespace kavri
