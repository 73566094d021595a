#include "Platform/UI/DesktopNotifications.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QVariantMap>

#include <memory>

namespace platform {

namespace {

const QString path = QStringLiteral("/org/freedesktop/Notifications");

QString serviceName() { return QString::fromLatin1(DesktopNotifications::service); }

}  // namespace

DesktopNotifications::DesktopNotifications(QObject* parent) : QObject(parent)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        answered_ = true;
        return;
    }
    auto* watcher = new QDBusServiceWatcher(serviceName(), bus,
                                            QDBusServiceWatcher::WatchForRegistration | QDBusServiceWatcher::WatchForUnregistration,
                                            this);
    connect(watcher, &QDBusServiceWatcher::serviceRegistered, this, [this] {
        running_ = true;
        emit availabilityChanged();
    });
    connect(watcher, &QDBusServiceWatcher::serviceUnregistered, this, [this] {
        running_ = false;
        emit availabilityChanged();
    });
    bus.connect(serviceName(), path, serviceName(), QStringLiteral("ActionInvoked"), this, SLOT(actionInvoked(uint, QString)));
    ask();
}

DesktopNotifications::~DesktopNotifications() = default;

void DesktopNotifications::ask()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    const QString busService = QStringLiteral("org.freedesktop.DBus");
    const QString busPath = QStringLiteral("/org/freedesktop/DBus");
    QDBusMessage running = QDBusMessage::createMethodCall(busService, busPath, busService, QStringLiteral("NameHasOwner"));
    running.setArguments({serviceName()});
    const QDBusMessage activatable =
        QDBusMessage::createMethodCall(busService, busPath, busService, QStringLiteral("ListActivatableNames"));
    pendingAnswers_ = 2;
    const auto answer = [this] {
        if (--pendingAnswers_ == 0) {
            answered_ = true;
            emit availabilityChanged();
        }
    };
    auto* first = new QDBusPendingCallWatcher(bus.asyncCall(running), this);
    connect(first, &QDBusPendingCallWatcher::finished, this, [this, answer](QDBusPendingCallWatcher* call) {
        call->deleteLater();
        const QDBusPendingReply<bool> reply = *call;
        running_ = running_ || (!reply.isError() && reply.value());
        answer();
    });
    auto* second = new QDBusPendingCallWatcher(bus.asyncCall(activatable), this);
    connect(second, &QDBusPendingCallWatcher::finished, this, [this, answer](QDBusPendingCallWatcher* call) {
        call->deleteLater();
        const QDBusPendingReply<QStringList> reply = *call;
        activatable_ = !reply.isError() && reply.value().contains(serviceName());
        answer();
    });
}

void DesktopNotifications::notify(const QString& summary, const QString& body, std::function<void(bool shown)> done)
{
    QDBusMessage call = QDBusMessage::createMethodCall(serviceName(), path, serviceName(), QStringLiteral("Notify"));
    // Application name, no notification replaced, the desktop entry's icon, the texts,
    // a default action (a click), no hints but the desktop entry, the server's timeout.
    call.setArguments({QStringLiteral("KORVU Darivir"), uint(0), QStringLiteral("korvu-darivir"), summary, body,
                       QStringList{QStringLiteral("default"), QStringLiteral("Öffnen")},
                       QVariantMap{{QStringLiteral("desktop-entry"), QStringLiteral("korvu-darivir")}}, -1});
    auto* pending = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this, done = std::move(done)](QDBusPendingCallWatcher* call) {
        call->deleteLater();
        const QDBusPendingReply<uint> reply = *call;
        if (reply.isError()) {
            qWarning("The desktop notification was not shown: %s", qPrintable(reply.error().message()));
        } else {
            sent_.append(reply.value());
        }
        if (done) done(!reply.isError());
    });
}

void DesktopNotifications::actionInvoked(uint id, const QString& key)
{
    if (sent_.contains(id) && key == QLatin1String("default")) emit clicked();
}

}  // namespace platform
