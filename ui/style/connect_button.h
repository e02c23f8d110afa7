#pragma once

#include "ui/style/pressable_button.h"

namespace kavri {

// A button in MacConnectButtonStyle: full width, 60.8 high, a text label.
class ConnectButton : public PressableButton {
    Q_OBJECT
public:
    explicit ConnectButton(QWidget* parent = nullptr);

    void setStyle(const MacConnectButtonStyle& style);
    const MacConnectButtonStyle& buttonStyle() const { return style_; }
    QSize sizeHint() const override;

protected:
    void paintLabel(QPainter& painter, const QRectF& rect) override;

private:
    MacConnectButtonStyle style_;
};

}  // namespace kavri
