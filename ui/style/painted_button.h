#pragma once

#include <functional>

#include "ui/style/pressable_button.h"

namespace kavri {

// A button without chrome whose whole rectangle reacts to clicks and whose
// label a function draws: the rows and cards of the sheets.
class PaintedButton : public PressableButton {
    Q_OBJECT
public:
    using Paint = std::function<void(QPainter&, const QRectF&)>;

    // Plain buttons fade a little while held down.
    static constexpr PressFeedback plainFeedback{1, 0.7, 120};

    PaintedButton(Paint paint, PressFeedback feedback = plainFeedback, QWidget* parent = nullptr);

protected:
    void paintLabel(QPainter& painter, const QRectF& rect) override;

private:
    Paint paint_;
};

}  // namespace kavri
