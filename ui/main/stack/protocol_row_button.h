#pragma once

#include "ui/main/stack/protocol_screen_state.h"
#include "ui/style/pressable_button.h"

namespace kavri {

// One protocol of the protocol screen: its selection mark, its title with
// an optional badge, and an optional second line. The whole row takes the
// click, also where it is empty.
class ProtocolRowButton : public PressableButton {
    Q_OBJECT
public:
    static constexpr double paddingY = 14;
    static constexpr double spacing = 12;

    explicit ProtocolRowButton(QWidget* parent = nullptr);

    void setRow(ProtocolScreenState::Row row);
    const ProtocolScreenState::Row& row() const { return row_; }
    // The row's height for its content.
    double rowHeight() const;

protected:
    void paintLabel(QPainter& painter, const QRectF& rect) override;

private:
    ProtocolScreenState::Row row_;
};

}  // namespace kavri
