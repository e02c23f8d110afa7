#pragma once

#include <QTransform>

#include "ui/main/morvel_halo.h"
#include "ui/style/pressable_button.h"

namespace kavri {

// The main window's logo button: a MorvelHalo of diameter 268 scaled by
// 0.95 into a frame of 254.6, in LogoPressStyle; only the circle takes
// clicks. The widget is larger than the frame by the glow's reach on each
// side; `frameRect` is where the frame lies.
class LogoButton : public PressableButton {
    Q_OBJECT
public:
    static constexpr double diameter = 268;
    static constexpr double frameScale = 0.95;
    static constexpr double frameSide = diameter * frameScale;  // 254.6

    explicit LogoButton(Clock& clock = Clock::system(), QWidget* parent = nullptr);

    MorvelHalo& halo() { return halo_; }
    QRectF frameRect() const;
    QSize sizeHint() const override;

protected:
    bool hitButton(const QPoint& pos) const override;
    void paintLabel(QPainter& painter, const QRectF& rect) override;
    void showEvent(QShowEvent* event) override;

private:
    // From the halo's own square to this widget, pressed scale included.
    QTransform haloTransform() const;

    MorvelHalo halo_;
};

// A halo on its own in a widget (screenshots and tests).
class MorvelHaloView : public QWidget {
    Q_OBJECT
public:
    MorvelHaloView(double diameter, Clock& clock = Clock::system(), QWidget* parent = nullptr);
    MorvelHalo& halo() { return halo_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    MorvelHalo halo_;
};

}  // namespace kavri
