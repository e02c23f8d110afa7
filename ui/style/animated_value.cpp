#include "ui/style/animated_value.h"

#include "ui/style/animations.h"

namespace kavri {

AnimatedValue::AnimatedValue(double initial, QObject* parent) : QObject(parent), value_(initial) {
    connect(&animation_, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) { take(v.toDouble()); });
    connect(&animation_, &QVariantAnimation::finished, this, &AnimatedValue::finished);
}

bool AnimatedValue::running() const { return animation_.state() == QAbstractAnimation::Running; }

void AnimatedValue::set(double v) {
    animation_.stop();
    take(v);
}

void AnimatedValue::animateTo(double to, int ms, const QEasingCurve& curve) {
    animation_.stop();
    if (!Animations::enabled() || ms <= 0 || to == value_) {
        take(to);
        return;
    }
    animation_.setKeyValues({{0.0, value_}, {1.0, to}});
    animation_.setDuration(ms);
    animation_.setEasingCurve(curve);
    animation_.setLoopCount(1);
    animation_.start();
}

void AnimatedValue::springTo(double to, const Spring& spring) {
    const int ms = spring.settleMs();
    // The last key lands exactly on `to`, past the spring's last thousandth.
    sampled(to, ms, 1, 60, [&](double t) { return t < 1 ? spring.at(t * ms / 1000.0) : 1.0; });
}

void AnimatedValue::swingTo(double to, int ms, const QEasingCurve& curve) {
    // One loop goes there and back, each half along the curve.
    sampled(to, 2 * ms, -1, 48, [&](double t) { return curve.valueForProgress(t <= 0.5 ? t * 2 : (1 - t) * 2); });
}

void AnimatedValue::sampled(double to, int ms, int loops, int steps, const std::function<double(double)>& progress) {
    animation_.stop();
    if (!Animations::enabled() || ms <= 0 || (loops == 1 && to == value_)) {
        take(to);
        return;
    }
    const double from = value_;
    QVariantAnimation::KeyValues keys;
    for (int i = 0; i <= steps; ++i) {
        const double t = double(i) / steps;
        keys.append({t, from + (to - from) * progress(t)});
    }
    animation_.setKeyValues(keys);
    animation_.setDuration(ms);
    animation_.setEasingCurve(QEasingCurve::Linear);
    animation_.setLoopCount(loops);
    animation_.start();
}

void AnimatedValue::take(double v) {
    if (v == value_) return;
    value_ = v;
    emit changed(v);
}

}  // namespace kavri
