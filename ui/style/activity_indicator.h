#pragma once

#include <QTimer>
#include <QWidget>

namespace kavri {

// The small spinning activity indicator: eight spokes fading round, turning
// while shown (still while animations are off).
class ActivityIndicator : public QWidget {
    Q_OBJECT
public:
    static constexpr int side = 16;
    explicit ActivityIndicator(QWidget* parent = nullptr);
    QSize sizeHint() const override { return {side, side}; }
    // Draws the spokes in `rect` at step `step` of 8.
    static void paint(QPainter& painter, const QRectF& rect, int step);

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    QTimer timer_;
    int step_ = 0;
};

}  // namespace kavri
