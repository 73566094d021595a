#include "Platform/UI/SystemTray.h"

#include <QCursor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QMenu>

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

void SystemTray::show()
{
    icon_.show();
    exportMenuToHost();
}

QPoint SystemTray::menuAnchor() const
{
    // The XEmbed tray knows where the icon is; a D-Bus host does not tell, and the click
    // that opened the menu happened where the pointer is.
    const QRect geometry = icon_.geometry();
    return geometry.isValid() ? geometry.bottomLeft() : QCursor::pos();
}

void SystemTray::setExportedMenu(QMenu* menu)
{
    exported_ = menu;
    if (dbusHost_) icon_.setContextMenu(menu);
}

void SystemTray::exportMenuToHost()
{
    if (hostAsked_) return;
    hostAsked_ = true;
    QDBusMessage ask = QDBusMessage::createMethodCall(
        QStringLiteral("org.kde.StatusNotifierWatcher"), QStringLiteral("/StatusNotifierWatcher"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    ask.setArguments({QStringLiteral("org.kde.StatusNotifierWatcher"), QStringLiteral("IsStatusNotifierHostRegistered")});
    auto* pending = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(ask), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* call) {
        call->deleteLater();
        const QDBusPendingReply<QDBusVariant> reply = *call;
        // No watcher, or one without a host: Qt docks into the XEmbed tray, if any.
        dbusHost_ = !reply.isError() && reply.value().variant().toBool();
        if (dbusHost_ && exported_) icon_.setContextMenu(exported_);
    });
}

}  // namespace platform
