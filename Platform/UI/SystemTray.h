#pragma once

#include "Platform/UI/TrayBackend.h"

#include <QSystemTrayIcon>

namespace platform {

// The tray of a Linux desktop through QSystemTrayIcon: a StatusNotifierItem on the session
// bus where a host (a StatusNotifierWatcher with a registered host) is running, the XEmbed
// system tray of the X display otherwise. No context menu is handed to Qt, so hosts that
// speak D-Bus see an item without a menu and report every click as an activation.
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

private:
    QSystemTrayIcon icon_;
};

}  // namespace platform
