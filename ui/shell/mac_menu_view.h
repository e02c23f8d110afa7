#pragma once

#include <QMenu>
#include <QObject>

#include "ui/shell/mac_menu_view_state.h"

class QAction;

namespace kavri {

class MacMenuPresenter;

// The tray's pull-down menu: the status line (not choosable), a separator,
// the connect item, "Открыть Каври", a separator and "Выйти". It draws a
// MacMenuViewState into its QMenu and forwards the choices.
class MacMenuView : public QObject {
    Q_OBJECT
public:
    explicit MacMenuView(QMenu& menu, QObject* parent = nullptr);
    ~MacMenuView() override;

    void setState(const MacMenuViewState& state);
    const MacMenuViewState& viewState() const { return state_; }
    // Draws the presenter's state from now on and sends it the choices. The
    // presenter must outlive the view.
    void bind(MacMenuPresenter& presenter);

    QMenu& menu() { return menu_; }

signals:
    void connectClicked();
    void openMainWindowClicked();
    void quitClicked();

private:
    QMenu& menu_;
    MacMenuViewState state_;
    QAction* status_;
    QAction* connect_;
    MacMenuPresenter* presenter_ = nullptr;
};

}  // namespace kavri
