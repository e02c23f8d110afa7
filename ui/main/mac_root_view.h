#pragma once

#include <QPointer>
#include <QWidget>

#include <array>
#include <functional>
#include <memory>

#include "platform/runtime/clock.h"
#include "ui/main/mac_root_view_state.h"

class QMessageBox;

namespace kavri {

class CapsuleButton;
class ConnectButton;
class LogoButton;
class MacRootPresenter;
class PlainButton;
class MacBottomSheet;
class MacSetupGuidePresenter;
class MacSetupGuideView;
class StackCard;

// The main window's content: the setup guide or the main column (header
// with the menu button, logo button, status row, account banner, connect
// button), the four sheets above it and the "Локация" alert. It draws a
// MacRootViewState and forwards clicks; bind() ties it to its presenter.
class MacRootView : public QWidget {
    Q_OBJECT
public:
    static constexpr double width = 361;
    static constexpr double height = 655.5;
    static constexpr double spacing = 15.2;
    static constexpr double paddingX = 22.8;
    static constexpr double paddingTop = 13.3;
    static constexpr double paddingBottom = 22.8;
    // The sheets' heights: menu, plans, devices, stack.
    static constexpr std::array<double, 4> sheetHeights{520, 430, 560, 560};

    explicit MacRootView(Clock& clock = Clock::system(), QWidget* parent = nullptr);
    ~MacRootView() override;

    void setState(const MacRootViewState& state);
    const MacRootViewState& viewState() const { return state_; }
    // Draws the presenter's state from now on and sends it the clicks and
    // the view's coming and going. The presenter must outlive the view.
    void bind(MacRootPresenter& presenter);

    // What sheet `sheet` (index into sheetHeights) shows: built each time
    // the sheet is shown, destroyed when it is hidden; none leaves the
    // panel empty.
    void setSheetContent(int sheet, std::function<QWidget*(QWidget* parent)> build);

    MacSetupGuideView& setupGuide() { return *guide_; }
    LogoButton& logoButton() { return *logo_; }
    ConnectButton& connectButton() { return *connect_; }
    StackCard& stackCard() { return *stackCard_; }
    // The padding above the stack card, beside the column's spacing.
    static constexpr double stackCardPaddingTop = 17.1;

signals:
    void shown();
    void hidden();
    void menuClicked();
    void logoClicked();
    void connectClicked();
    void payClicked();
    void restoreAccessClicked();
    // index into sheetHeights
    void sheetDismissed(int sheet);
    void alertDismissed();
    void stackCardClicked();

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    struct Layout;
    Layout layout() const;
    void relayout();
    void rebuildBanner();
    void stackSheets();
    void updateAlert();

    Clock& clock_;
    MacRootViewState state_;
    PlainButton* menu_;
    LogoButton* logo_;
    ConnectButton* connect_;
    CapsuleButton* bannerButton_ = nullptr;
    PlainButton* pay_ = nullptr;
    StackCard* stackCard_;
    std::array<MacBottomSheet*, 4> sheets_{};
    MacSetupGuideView* guide_;
    std::unique_ptr<MacSetupGuidePresenter> guidePresenter_;
    QPointer<QMessageBox> alert_;
    MacRootPresenter* presenter_ = nullptr;
};

}  // namespace kavri
