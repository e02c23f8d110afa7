#pragma once

#include <QWidget>

#include <memory>

#include "ui/sheets/mac_devices_sheet_view_state.h"

class QLabel;
class QLineEdit;
class QVBoxLayout;

namespace kavri {

class MacDevicesSheetPresenter;
class PlainButton;
class QrCodeView;

// The devices sheet's content inside its bottom sheet: the header with
// "Готово", then in one scrolling column the owner's device list with its
// usage line, the account block (a code to share, a code to enter, or
// unlinking) and the apps for other platforms. It draws a
// MacDevicesSheetViewState and forwards clicks; bind() ties it to its
// presenter.
class MacDevicesSheet : public QWidget {
    Q_OBJECT
public:
    // The bottom sheet's height for it.
    static constexpr double sheetHeight = 560;

    explicit MacDevicesSheet(QWidget* parent = nullptr);
    ~MacDevicesSheet() override;

    void setState(const MacDevicesSheetViewState& state);
    const MacDevicesSheetViewState& viewState() const { return state_; }
    // Draws the presenter's state from now on and sends it the clicks and
    // the sheet's coming and going. The presenter must outlive the view,
    // unless the view owns it (own()).
    void bind(MacDevicesSheetPresenter& presenter);
    // Binds to `presenter` and keeps it for the view's life.
    void own(std::unique_ptr<MacDevicesSheetPresenter> presenter);

signals:
    void shown();
    void hidden();
    void doneClicked();
    void removeClicked(const QString& deviceId);
    void showCodeClicked();
    void codeEdited(const QString& text);
    void confirmClicked();
    void unlinkClicked();
    void installClicked();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void rebuildRows();
    void placeMessage();

    MacDevicesSheetViewState state_;
    bool drawn_ = false;

    QWidget* devicesSection_;
    QWidget* devicesDivider_;
    QLabel* usage_;
    QWidget* card_;
    QVBoxLayout* cardLayout_;

    QWidget* share_;
    PlainButton* showCode_;
    QWidget* codeBlock_;
    QrCodeView* qr_;
    QLabel* code_;

    QWidget* join_;
    QLabel* explanation_;
    QLineEdit* field_;
    PlainButton* confirm_;

    QWidget* member_;
    PlainButton* unlink_;

    QLabel* message_;
    QWidget* messageHome_ = nullptr;

    MacDevicesSheetPresenter* presenter_ = nullptr;
    std::unique_ptr<MacDevicesSheetPresenter> owned_;
};

}  // namespace kavri
