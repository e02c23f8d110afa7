#pragma once

#include <QObject>
#include <QWidget>

#include <memory>
#include <vector>

#include "app/runtime/main_executor.h"
#include "app/subscription_store.h"
#include "app/updater/mac_updater.h"

namespace kavri {

class MacRootPresenter;

// Builds the account menu and the plan sheet each time their bottom sheet
// opens: their presenters on the app's subscription store, the desktop's
// clipboard and browser, the update manifest and a fresh updater, talking
// back to the root view's presenter. An installation still under way when
// its menu closes is kept here until the app ends.
class AccountSheets : public QObject {
    Q_OBJECT
public:
    AccountSheets(MainExecutor& main, SubscriptionStore& subscription, MacRootPresenter& root, QObject* parent);

    QWidget* menu(QWidget* parent);
    QWidget* plans(QWidget* parent);

private:
    MainExecutor& main_;
    SubscriptionStore& subscription_;
    MacRootPresenter& root_;
    std::vector<std::shared_ptr<MacUpdater>> installing_;
};

}  // namespace kavri
