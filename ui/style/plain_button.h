#pragma once

#include <QColor>
#include <QFont>

#include "ui/style/pressable_button.h"

namespace kavri {

// A button without chrome: its label is a text, optionally after a symbol,
// optionally on a tinted capsule with an outline (the menu button).
class PlainButton : public PressableButton {
    Q_OBJECT
public:
    struct Look {
        QFont font{};
        QColor color{};
        QString symbol{};  // a system symbol before the text, or none
        QFont symbolFont{};
        double spacing = 0;
        double paddingX = 0;
        double paddingY = 0;
        QColor fill = Qt::transparent;
        QColor outline = Qt::transparent;
        bool centered = false;  // the label in the middle of a wider button
    };

    PlainButton(const QString& text, Look look, QWidget* parent = nullptr);

    void setLook(Look look);

    // The label's natural size.
    QSizeF naturalSize() const;
    QSize sizeHint() const override;

protected:
    void paintLabel(QPainter& painter, const QRectF& rect) override;

private:
    double symbolSide() const;

    Look look_;
};

}  // namespace kavri
