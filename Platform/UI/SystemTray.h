#pragma once

#include "Platform/UI/TrayBackend.h"

#include <QPointer>
#include <QSystemTrayIcon>

namespace platform {

// The tray of a Linux desktop through QSystemTrayIcon: a StatusNotifierItem on the session
// bus where a host (a StatusNotifierWatcher with a registered host) is running, the XEmbed
// system tray of the X display otherwise. A click on the item, or a host's request for its
// context menu, is an activation, on which the owner pops up its own menu. The exported
// menu goes to Qt only where a StatusNotifierItem is registered: Qt publishes it there as
// the item's D-Bus menu, while an XEmbed tray would pop it up on a right click beside the
// owner's own.
class SystemTray : public TrayBackend {
    Q_OBJECT
public:
    explicit SystemTray(QObject* parent = nullptr);

    // Whether either kind of tray is there now. Qt answers the D-Bus half once per process
    // (at the first tray item) and the XEmbed half afresh on every call.
    static bool systemTrayAvailable();

    bool isAvailable() const override { return systemTrayAvailable(); }
    void setIcon(const QIcon& icon) override;
    void setToolTip(const QString& text) override;
    void show() override;
    QPoint menuAnchor() const override;
    void setExportedMenu(QMenu* menu) override;

private:
    // Asks the session bus (without waiting) whether a StatusNotifierHost is registered;
    // when one is, the item is a D-Bus item and gets the exported menu.
    void exportMenuToHost();

    QSystemTrayIcon icon_;
    QPointer<QMenu> exported_;
    bool hostAsked_ = false;
    bool dbusHost_ = false;
};

}  // namespace platform
