#include "ui/shell/mac_menu_view.h"

#include <QAction>

#include "ui/object_names.h"
#include "ui/shell/mac_menu_presenter.h"

namespace kavri {

MacMenuView::MacMenuView(QMenu& menu, QObject* parent) : QObject(parent), menu_(menu) {
    status_ = menu_.addAction(QString());
    status_->setObjectName(ObjectName::menuStatus);
    status_->setEnabled(false);
    menu_.addSeparator();
    connect_ = menu_.addAction(QString());
    connect_->setObjectName(ObjectName::menuConnect);
    connect(connect_, &QAction::triggered, this, &MacMenuView::connectClicked);
    QAction* open = menu_.addAction(QStringLiteral("Открыть Каври"));
    open->setObjectName(ObjectName::menuOpenWindow);
    connect(open, &QAction::triggered, this, &MacMenuView::openMainWindowClicked);
    menu_.addSeparator();
    QAction* quit = menu_.addAction(QStringLiteral("Выйти"));
    quit->setObjectName(ObjectName::menuQuit);
    connect(quit, &QAction::triggered, this, &MacMenuView::quitClicked);
    setState(state_);
}

MacMenuView::~MacMenuView() {
    if (presenter_) presenter_->setOnChange(nullptr);
}

void MacMenuView::setState(const MacMenuViewState& state) {
    state_ = state;
    status_->setText(QString::fromStdString(state_.statusText));
    connect_->setText(QString::fromStdString(state_.connectTitle));
    connect_->setEnabled(state_.connectEnabled);
}

void MacMenuView::bind(MacMenuPresenter& presenter) {
    presenter_ = &presenter;
    connect(this, &MacMenuView::connectClicked, this, [&presenter] { presenter.toggleConnection(); });
    connect(this, &MacMenuView::openMainWindowClicked, this, [&presenter] { presenter.openMainWindow(); });
    connect(this, &MacMenuView::quitClicked, this, [&presenter] { presenter.quit(); });
    presenter.setOnChange([this, &presenter] { setState(presenter.state()); });
    setState(presenter.state());
}

}  // namespace kavri
