#pragma once

#include <QColor>
#include <QObject>
#include <QPainter>
#include <QRectF>
#include <QTimer>

namespace kavri {

// The desktop's indeterminate progress indicator: twelve spokes round a
// centre, their opacity fading behind the one in front, turning once a
// second while it runs. Stands still at its first step while animations
// are off.
class Spinner : public QObject {
    Q_OBJECT
public:
    static constexpr int spokes = 12;

    explicit Spinner(QObject* parent = nullptr);

    // Turns while shown; a hidden spinner costs no timer.
    void setRunning(bool on);
    bool running() const { return timer_.isActive(); }
    int step() const { return step_; }

    // The indicator inside the square centred in `rect`, tinted.
    static void paint(QPainter& painter, const QRectF& rect, const QColor& tint, int step = 0);

signals:
    void changed();

private:
    QTimer timer_;
    int step_ = 0;
};

}  // namespace kavri
