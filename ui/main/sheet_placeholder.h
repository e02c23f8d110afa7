#pragma once

#include <QWidget>

namespace kavri {

// Where a bottom sheet of the main window will be: the window dimmed and an
// empty panel of the sheet's height at the bottom. A click outside the
// panel asks to close it.
class SheetPlaceholder : public QWidget {
    Q_OBJECT
public:
    SheetPlaceholder(double panelHeight, QWidget* parent);

signals:
    void dismissRequested();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    QRectF panel() const;

    double panelHeight_;
};

}  // namespace kavri
