#pragma once

#include <QPointer>
#include <QWidget>

#include <vector>

#include "ui/main/stack/stack_sheet_state.h"

class QLabel;
class QStackedLayout;
class QVBoxLayout;

namespace kavri {

class NavigationBar;
class PlainButton;
class ProgressSpinner;
class ProtocolScreenView;
class StackRowButton;
class StackSheetPresenter;

// The stack sheet's content: the bar "Локация" with its close button over
// the loading indicator, the failure view or the list of the automatic
// choice and the locations; the protocol screen pushed over it. It draws a
// StackSheetState and signals the clicks; bind() ties it to its presenter.
class StackSheetView : public QWidget {
    Q_OBJECT
public:
    static constexpr double paddingX = 20;
    static constexpr double autoRowPaddingBottom = 6;

    explicit StackSheetView(QWidget* parent = nullptr);
    ~StackSheetView() override;

    void setState(const StackSheetState& state);
    const StackSheetState& viewState() const { return state_; }
    // Draws the presenter's state from now on, sends it the clicks, and
    // starts its load loop while shown. The view owns the presenter.
    void bind(std::unique_ptr<StackSheetPresenter> presenter);
    StackSheetPresenter* presenter() { return presenter_.get(); }

signals:
    void closeClicked();
    void autoRowClicked();
    void locationClicked(const std::string& id);
    void retryClicked();

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void setRows();
    void setProtocolScreen();

    StackSheetState state_;
    QStackedLayout* screens_;  // the list page, then the pushed screen
    QStackedLayout* content_;  // loading, failed, list
    QWidget* loading_;
    QWidget* failed_;
    QWidget* list_;
    QVBoxLayout* rowsLayout_;
    StackRowButton* autoRow_;
    std::vector<StackRowButton*> rows_;
    QPointer<ProtocolScreenView> protocolScreen_;
    std::unique_ptr<StackSheetPresenter> presenter_;
};

}  // namespace kavri
