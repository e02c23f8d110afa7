#pragma once

#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>
#include <vector>

#include "ui/main/stack/stack_sheet_presenter.h"
#include "ui/main/stack/stack_sheet_state.h"

class QLabel;
class QStackedLayout;
class QVBoxLayout;

namespace kavri {

class NavigationBar;
class PlainButton;
class ActivityIndicator;
class ProtocolScreenView;
class StackRowButton;
class MacRootPresenter;
class SubscriptionStore;

// The stack sheet's content: the bar "Локация" with its close button over
// the loading indicator, the failure view or the list of the automatic
// choice and the locations; the protocol screen pushed over it. It draws a
// StackSheetState and signals the clicks; bind() ties it to its presenter.
class StackSheetView : public QWidget {
    Q_OBJECT
public:
    static constexpr double paddingX = 20;
    static constexpr double autoRowPaddingBottom = 6;

    // What the root view hands the sheet besides its catalog and prober.
    struct Hooks {
        StackSheetPresenter::Refresh onRefresh;
        StackSheetPresenter::Apply onApply;
        std::function<void()> onLocked;
        CatalogHolder::Track track;  // "sheet_ready"
        Clock* clock = &Clock::system();
    };

    explicit StackSheetView(QWidget* parent = nullptr);
    ~StackSheetView() override;

    // The root view's builder of the sheet's content: a fresh sheet over the
    // root's catalog and prober, the subscription's stack as the current
    // choice, closed through the root (else the bottom sheet it lies in).
    static std::function<QWidget*(QWidget* parent)> builder(MacRootPresenter& root, SubscriptionStore& subscription,
                                                            Hooks hooks);

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
