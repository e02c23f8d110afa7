#pragma once

#include <QPainter>
#include <QWidget>

#include <functional>

namespace kavri {

// A widget that a function draws (antialiased): texts, cards and lines of
// the sheets that take no clicks.
class PaintedWidget : public QWidget {
    Q_OBJECT
public:
    using Paint = std::function<void(QPainter&, const QRectF&)>;
    explicit PaintedWidget(Paint paint, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Paint paint_;
};

}  // namespace kavri
