#pragma once

#include "ui/style/pressable_button.h"
#include "ui/style/spinner.h"

namespace kavri {

// A button in MacConnectButtonStyle: full width, 60.8 high, a text label.
class ConnectButton : public PressableButton {
    Q_OBJECT
public:
    explicit ConnectButton(QWidget* parent = nullptr);

    void setStyle(const MacConnectButtonStyle& style);
    // A spinner in place of the text, while something is under way.
    void setBusy(bool busy);
    bool busy() const { return busy_; }
    const MacConnectButtonStyle& buttonStyle() const { return style_; }
    QSize sizeHint() const override;

    // The spinner's side: the desktop's small control size.
    static constexpr double spinnerSide = 16;

protected:
    void paintLabel(QPainter& painter, const QRectF& rect) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    MacConnectButtonStyle style_;
    bool busy_ = false;
    Spinner spinner_;
};

}  // namespace kavri
