#include "Platform/UI/SystemTray.h"

#include <QCursor>

namespace platform {

SystemTray::SystemTray(QObject* parent) : TrayBackend(parent)
{
    connect(&icon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        // A double click arrives after the click that already opened the menu; the
        // middle button is left to the host.
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::Context) {
            emit activated();
        }
    });
}

bool SystemTray::systemTrayAvailable() { return QSystemTrayIcon::isSystemTrayAvailable(); }

void SystemTray::setIcon(const QIcon& icon) { icon_.setIcon(icon); }

void SystemTray::setToolTip(const QString& text)
{
    // Qt tells a D-Bus host of every write, also of the same text.
    if (text != icon_.toolTip()) icon_.setToolTip(text);
}

void SystemTray::show() { icon_.show(); }

QPoint SystemTray::menuAnchor() const
{
    // The XEmbed tray knows where the icon is; a D-Bus host does not tell, and the click
    // that opened the menu happened where the pointer is.
    const QRect geometry = icon_.geometry();
    return geometry.isValid() ? geometry.bottomLeft() : QCursor::pos();
}

}  // namespace platform
