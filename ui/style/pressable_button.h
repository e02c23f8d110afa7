#pragma once

#include <QAbstractButton>

#include <optional>

#include "ui/style/animated_value.h"
#include "ui/style/button_styles.h"

namespace kavri {

// A custom-drawn button whose label takes a press style's scale and
// opacity while it is held down, animated both ways. A disabled button
// ignores clicks; a dimming factor of its own is drawn on top.
class PressableButton : public QAbstractButton {
    Q_OBJECT
public:
    explicit PressableButton(PressFeedback feedback, QWidget* parent = nullptr);

    PressFeedback feedback() const { return feedback_; }
    // The label's scale and opacity this moment.
    double currentScale() const;
    double currentOpacity() const;

    // Places the button at a fractional rectangle of its parent: the widget
    // covers it in whole pixels, the label is drawn exactly there.
    void setFloatGeometry(const QRectF& rect);
    QRectF labelRect() const;

    void setDimming(double opacity);
    double dimming() const { return dimming_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    // Draws the label into `rect` (the whole button), already scaled and faded.
    virtual void paintLabel(QPainter& painter, const QRectF& rect) = 0;
    // A label that applies currentScale() itself (about a centre of its own).
    bool scalesItself_ = false;

private:
    PressFeedback feedback_;
    AnimatedValue press_;
    double dimming_ = 1;
    std::optional<QRectF> float_;
};

}  // namespace kavri
