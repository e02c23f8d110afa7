#pragma once

#include <QColor>

#include "ui/style/pressable_button.h"

namespace kavri {

// The protocol screen's connect button: a centred 17 pt semibold text on a
// fill, 54 pt high, in a rounded rectangle of radius 14.
class ProtocolConnectButton : public PressableButton {
    Q_OBJECT
public:
    static constexpr double buttonHeight = 54;
    static constexpr double cornerRadius = 14;

    explicit ProtocolConnectButton(QWidget* parent = nullptr);
    void setLook(const QString& text, const QColor& textColor, const QColor& fill);

protected:
    void paintLabel(QPainter& painter, const QRectF& rect) override;

private:
    QColor textColor_;
    QColor fill_;
};

}  // namespace kavri
