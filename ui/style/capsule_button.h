#pragma once

#include <QColor>

#include "ui/style/pressable_button.h"

namespace kavri {

// A text on a filled capsule with a glow of the fill's colour: the
// prominent banner buttons and the setup guide's primary buttons.
class CapsuleButton : public PressableButton {
    Q_OBJECT
public:
    struct Look {
        QFont font;
        QColor textColor;
        QColor fill;
        double paddingX = 0;
        double paddingY = 0;
        double shadowOpacity = 0;
        double shadowRadius = 0;
    };

    // The banners' "Вернуть доступ" and "Выбрать тариф" (LogoPressStyle).
    static Look bannerLook();
    // MacPrimaryButtonStyle.
    static Look primaryLook();

    CapsuleButton(const QString& text, Look look, PressFeedback feedback, QWidget* parent = nullptr);

    QSize sizeHint() const override;
    // The capsule inside the widget (the rest is room for the glow).
    QRectF capsuleRect() const;

protected:
    void paintLabel(QPainter& painter, const QRectF& rect) override;

private:
    QSizeF capsuleSize() const;

    Look look_;
};

}  // namespace kavri
