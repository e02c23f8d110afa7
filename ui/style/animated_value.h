#pragma once

#include <QEasingCurve>
#include <QObject>
#include <QVariantAnimation>

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
    // Swings between the current value and `to`, `ms` each way, for ever.
    void swingTo(double to, int ms, const QEasingCurve& curve);

signals:
    void changed(double value);

private:
    void take(double v);

    double value_;
    QVariantAnimation animation_;
};

}  // namespace kavri
