#pragma once

#include <QWidget>

#include "app/runtime/main_executor.h"
#include "app/subscription_store.h"

namespace kavri {

class MacRootPresenter;

// The account menu and the plan sheet as the app builds them, each time
// its bottom sheet opens: their presenters on the app's subscription
// store, the desktop's clipboard and browser, the update manifest and a
// fresh updater, talking back to the root view's presenter.
class AccountSheets {
public:
    static QWidget* menu(QWidget* parent, MainExecutor& main, SubscriptionStore& subscription, MacRootPresenter& root);
    static QWidget* plans(QWidget* parent, MainExecutor& main, SubscriptionStore& subscription, MacRootPresenter& root);
};

}  // namespace kavri
