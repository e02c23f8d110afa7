#pragma once

#include <variant>

#include "ui/main/stack/stack_sheet_state.h"
#include "ui/style/pressable_button.h"

namespace kavri {

// One row of the stack sheet's list, 60 pt high in a rounded outline: the
// automatic choice (bolt, title, subtitle) or a location (flag, title,
// latency or "не в сети", checkmark, chevron or lock). The whole rectangle
// takes the click.
class StackRowButton : public PressableButton {
    Q_OBJECT
public:
    static constexpr double height = 60;
    static constexpr double paddingX = 14;
    static constexpr double spacing = 12;
    static constexpr double cornerRadius = 12;

    explicit StackRowButton(QWidget* parent = nullptr);

    void setRow(StackSheetState::AutoRow row);
    void setRow(StackSheetState::LocationRow row);
    const std::variant<StackSheetState::AutoRow, StackSheetState::LocationRow>& row() const { return row_; }

protected:
    void paintLabel(QPainter& painter, const QRectF& rect) override;

private:
    void paintAuto(QPainter& painter, const QRectF& rect, const StackSheetState::AutoRow& row);
    void paintLocation(QPainter& painter, const QRectF& rect, const StackSheetState::LocationRow& row);

    std::variant<StackSheetState::AutoRow, StackSheetState::LocationRow> row_;
};

}  // namespace kavri
