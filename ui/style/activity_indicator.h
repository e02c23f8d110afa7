#pragma once

#include <QColor>
#include <QWidget>

#include "ui/style/spinner.h"

namespace kavri {

// The spinner as a widget of its own: `side` points square, in one tint,
// turning while shown (still while animations are off).
class ActivityIndicator : public QWidget {
    Q_OBJECT
public:
    static constexpr double smallSide = 16;
    static constexpr double largeSide = 32;

    explicit ActivityIndicator(QColor tint, double side = smallSide, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    QColor tint_;
    Spinner spinner_;
};

}  // namespace kavri
