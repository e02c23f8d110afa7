#pragma once

#include <QWidget>

#include <memory>
#include <vector>

#include "ui/sheets/mac_plan_sheet_state.h"

class QScrollArea;
class QVBoxLayout;

namespace kavri {

class ActivityIndicator;
class MacPlanSheetPresenter;
class PaintedButton;
class PlainButton;

// The plan sheet's content in its bottom sheet: "Закрыть", the title, and
// either the loading view or one row per tariff with its price (a spinner
// on the row being bought). It draws a MacPlanSheetState and forwards
// clicks; bind() hands it its presenter.
class MacPlanSheet : public QWidget {
    Q_OBJECT
public:
    explicit MacPlanSheet(QWidget* parent = nullptr);
    ~MacPlanSheet() override;

    void setState(const MacPlanSheetState& state);
    const MacPlanSheetState& viewState() const { return state_; }
    void bind(std::unique_ptr<MacPlanSheetPresenter> presenter);
    MacPlanSheetPresenter* presenter() { return presenter_.get(); }
    // The tariff rows, in order.
    const std::vector<PaintedButton*>& rows() const { return rows_; }

signals:
    void shown();
    void hidden();
    void closeClicked();
    void planClicked(const std::string& key);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    struct Layout;
    Layout layout() const;
    void rebuildRows();

    MacPlanSheetState state_;
    PlainButton* close_;
    QWidget* loading_;
    QScrollArea* scroll_;
    QVBoxLayout* list_;
    std::vector<PaintedButton*> rows_;
    std::vector<ActivityIndicator*> spinners_;
    std::unique_ptr<MacPlanSheetPresenter> presenter_;
};

}  // namespace kavri
