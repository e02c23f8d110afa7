#pragma once

#include <QColor>
#include <QTimer>
#include <QWidget>

namespace kavri {

// An indeterminate progress indicator: twelve spokes going round in one
// tint, still while animations are off.
class ProgressSpinner : public QWidget {
    Q_OBJECT
public:
    static constexpr double side = 32;

    explicit ProgressSpinner(QColor tint, QWidget* parent = nullptr);
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    QColor tint_;
    QTimer timer_;
    int step_ = 0;
};

}  // namespace kavri
