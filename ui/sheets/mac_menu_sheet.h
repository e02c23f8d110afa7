#pragma once

#include <QWidget>

#include <memory>

#include "ui/sheets/mac_menu_sheet_state.h"

class QScrollArea;

namespace kavri {

class MacMenuSheetPresenter;
class PaintedButton;
class PlainButton;

// The account menu's content in its bottom sheet: the header with "Готово"
// and, in a scroll area, the account number card, the subscription line,
// the ways to the plans and the devices, the version card with its update
// control, the invitation link and the footer's links. It draws a
// MacMenuSheetState and forwards clicks; bind() hands it its presenter.
class MacMenuSheet : public QWidget {
    Q_OBJECT
public:
    explicit MacMenuSheet(QWidget* parent = nullptr);
    ~MacMenuSheet() override;

    void setState(const MacMenuSheetState& state);
    const MacMenuSheetState& viewState() const { return state_; }
    // Takes the presenter: draws its state from now on, sends it the clicks
    // and the sheet's coming and going.
    void bind(std::unique_ptr<MacMenuSheetPresenter> presenter);
    MacMenuSheetPresenter* presenter() { return presenter_.get(); }
    QScrollArea& scrollArea() { return *scroll_; }

signals:
    void shown();
    void hidden();
    void doneClicked();
    void idClicked();
    void plansClicked();
    void devicesClicked();
    void updateClicked();
    void referralClicked();
    void privacyClicked();
    void termsClicked();
    void supportClicked();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    double headerHeight() const;
    void fitUpdateControl();
    // A titled card; `followsVersion`: the title turns accent while a newer release is known.
    QWidget* section(const QString& title, bool highlighted, bool followsVersion, QWidget* card);

    MacMenuSheetState state_;
    PlainButton* done_;
    QScrollArea* scroll_;
    PaintedButton* update_;
    PaintedButton* referral_;
    QWidget* referralSection_;
    std::unique_ptr<MacMenuSheetPresenter> presenter_;
};

}  // namespace kavri
