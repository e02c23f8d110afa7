#pragma once

#include <QWidget>

#include "ui/main/mac_setup_guide_view_state.h"
#include "ui/main/morvel_hero.h"

namespace kavri {

class CapsuleButton;
class MacSetupGuidePresenter;

// The full-window guide through the extension's one-time setup: the dimmed
// logo, the state's title and subtitle, the three steps while the user must
// approve, the state's button and the note. It draws a
// MacSetupGuideViewState over its parent's background and forwards the
// button.
class MacSetupGuideView : public QWidget {
    Q_OBJECT
public:
    static constexpr double spacing = 22;
    static constexpr double insetX = 28;
    static constexpr double insetY = 24;
    static constexpr double heroSide = 120;
    static constexpr double textSpacing = 8;
    static constexpr double stepsSpacing = 12;
    static constexpr double stepsInset = 16;
    static constexpr double stepsRadius = 12;
    static constexpr double badgeSide = 20;
    static constexpr double badgeSpacing = 10;

    explicit MacSetupGuideView(QWidget* parent = nullptr);
    ~MacSetupGuideView() override;

    void setState(const MacSetupGuideViewState& state);
    const MacSetupGuideViewState& viewState() const { return state_; }
    // Draws the presenter's state from now on and sends it the button. The
    // presenter must outlive the view.
    void bind(MacSetupGuidePresenter& presenter);

signals:
    void buttonClicked();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    struct Layout;
    Layout layout() const;
    void relayout();

    MacSetupGuideViewState state_;
    MorvelHero hero_{false};
    CapsuleButton* button_ = nullptr;
    MacSetupGuidePresenter* presenter_ = nullptr;
};

}  // namespace kavri
