#pragma once

#include <QIcon>
#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>

#include "ui/shell/mac_menu_view.h"

namespace kavri {

// The menu-bar extra: the app's tray icon and its pull-down menu, which a
// MacMenuView fills. The icon is drawn at full opacity only while the
// tunnel is connected.
class MenuBarExtra : public QObject {
    Q_OBJECT
public:
    static constexpr double connectedOpacity = 1.0;
    static constexpr double dimmedOpacity = 0.45;

    explicit MenuBarExtra(QObject* parent = nullptr);

    // Follows the tunnel status: connected or any other.
    void setConnected(bool connected);
    bool connected() const { return connected_; }

    void show() { tray_.show(); }
    QMenu& menu() { return menu_; }
    MacMenuView& menuView() { return view_; }
    const QSystemTrayIcon& trayIcon() const { return tray_; }

    // The menu-bar image at the given opacity.
    static QIcon icon(double opacity);

private:
    QMenu menu_;
    MacMenuView view_{menu_};
    QSystemTrayIcon tray_;
    bool connected_ = false;
};

}  // namespace kavri
