#include "Platform/Permissions/AccessibilityTrust.h"

#include <QDBusMessage>
#include <QDBusVariant>
#include <QUuid>


namespace platform {
namespace {

const QString launcherService = QStringLiteral("org.a11y.Bus");
const QString launcherPath = QStringLiteral("/org/a11y/bus");
const QString statusInterface = QStringLiteral("org.a11y.Status");
const QString enabledProperty = QStringLiteral("IsEnabled");
const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");

}  // namespace

AccessibilityBus::AccessibilityBus(QDBusConnection session, std::chrono::milliseconds timeout)
    : session_(std::move(session)), timeout_(timeout)
{
}

std::optional<QString> AccessibilityBus::address() const
{
    if (!session_.isConnected()) {
        return std::nullopt;
    }
    const QDBusMessage call =
        QDBusMessage::createMethodCall(launcherService, launcherPath, launcherService, QStringLiteral("GetAddress"));
    const QDBusMessage reply = session_.call(call, QDBus::Block, static_cast<int>(timeout_.count()));
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 1) {
        return std::nullopt;
    }
    const QString address = reply.arguments().first().toString();
    if (address.isEmpty()) {
        return std::nullopt;
    }
    return address;
}

bool AccessibilityBus::answers() const
{
    const auto busAddress = address();
    if (!busAddress) {
        return false;
    }
    // A connection of our own for this one question, closed again at once.
    const QString name = QStringLiteral("korvu-a11y-probe-") + QUuid::createUuid().toString(QUuid::WithoutBraces);
    bool answered = false;
    {
        QDBusConnection bus = QDBusConnection::connectToBus(*busAddress, name);
        if (bus.isConnected()) {
            const QDBusMessage ping = QDBusMessage::createMethodCall(
                QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetId"));
            answered = bus.call(ping, QDBus::Block, static_cast<int>(timeout_.count())).type()
                       == QDBusMessage::ReplyMessage;
        }
    }
    QDBusConnection::disconnectFromBus(name);
    return answered;
}

std::optional<bool> AccessibilityBus::isEnabled() const
{
    if (!session_.isConnected()) {
        return std::nullopt;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(launcherService, launcherPath, propertiesInterface,
                                                       QStringLiteral("Get"));
    call << statusInterface << enabledProperty;
    const QDBusMessage reply = session_.call(call, QDBus::Block, static_cast<int>(timeout_.count()));
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 1) {
        return std::nullopt;
    }
    const QVariant value = reply.arguments().first().value<QDBusVariant>().variant();
    if (value.typeId() != QMetaType::Bool) {
        return std::nullopt;
    }
    return value.toBool();
}

bool AccessibilityBus::setEnabled(bool enabled) const
{
    if (!session_.isConnected()) {
        return false;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(launcherService, launcherPath, propertiesInterface,
                                                       QStringLiteral("Set"));
    call << statusInterface << enabledProperty << QVariant::fromValue(QDBusVariant(enabled));
    return session_.call(call, QDBus::Block, static_cast<int>(timeout_.count())).type() == QDBusMessage::ReplyMessage;
}

bool AccessibilityTrust::isTrusted(const AccessibilityBus& bus)
{
    return bus.answers() && bus.isEnabled().value_or(false) && syntheticInputAvailable();
}

bool AccessibilityTrust::requestEnabled(const AccessibilityBus& bus) { return bus.setEnabled(true); }

}  // namespace platform
