#include "Platform/Permissions/AccessibilityTrust.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QThread>
#include <QUuid>

#include <utility>


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

namespace {

// How old an answer may be before a question starts learning anew, and how long one call
// may wait for its answer.
constexpr auto kStaleAfter = std::chrono::milliseconds(500);
constexpr int kCallTimeout = 500;

}  // namespace

AccessibilityTrust::AccessibilityTrust(QDBusConnection session, std::function<bool()> syntheticInput)
    : session_(std::move(session)),
      syntheticInput_(std::move(syntheticInput)),
      busConnectionName_(QStringLiteral("korvu-a11y-") + QUuid::createUuid().toString(QUuid::WithoutBraces))
{
    if (session_.isConnected()) {
        auto* watcher = new QDBusServiceWatcher(launcherService, session_,
                                                QDBusServiceWatcher::WatchForOwnerChange, this);
        connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this, [this] { refresh(); });
        session_.connect(launcherService, launcherPath, propertiesInterface, QStringLiteral("PropertiesChanged"), this,
                         SLOT(launcherPropertiesChanged()));
    }
    refresh();
}

AccessibilityTrust::~AccessibilityTrust()
{
    if (bus_) {
        bus_.reset();
        QDBusConnection::disconnectFromBus(busConnectionName_);
    }
}

AccessibilityTrust& AccessibilityTrust::shared()
{
    // Never destroyed: it may be asked until the very end of the process.
    static auto* trust = new AccessibilityTrust();
    return *trust;
}

bool AccessibilityTrust::isTrusted()
{
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(this, [this] { isTrusted(); }, Qt::QueuedConnection);
        return trusted_;
    }
    if (pending_ == 0 && std::chrono::steady_clock::now() - lastRefresh_ > kStaleAfter) {
        refresh();
    }
    return trusted_;
}

void AccessibilityTrust::launcherPropertiesChanged() { refresh(); }

void AccessibilityTrust::refresh()
{
    if (pending_ > 0) {
        again_ = true;  // what changed meanwhile is learned right after
        return;
    }
    lastRefresh_ = std::chrono::steady_clock::now();
    if (!syntheticInputKnown_) {
        // The display does not change under a running program: asked once.
        syntheticInputKnown_ = syntheticInput_ ? syntheticInput_() : false;
    }
    if (!session_.isConnected()) {
        reachable_ = false;
        enabled_ = false;
        finish();
        return;
    }
    pending_ = 1;
    const QDBusMessage getAddress =
        QDBusMessage::createMethodCall(launcherService, launcherPath, launcherService, QStringLiteral("GetAddress"));
    auto* call = new QDBusPendingCallWatcher(session_.asyncCall(getAddress, kCallTimeout), this);
    connect(call, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* answered) {
        answered->deleteLater();
        const QDBusPendingReply<QString> reply = *answered;
        const QString address = reply.isValid() ? reply.value() : QString();
        if (address.isEmpty()) {
            reachable_ = false;
            enabled_ = false;
            --pending_;
            finish();
            return;
        }
        // The one connection to the accessibility bus, made again only for a new address
        // or after it broke.
        if (address != busAddress_ || !bus_ || !bus_->isConnected()) {
            if (bus_) {
                bus_.reset();
                QDBusConnection::disconnectFromBus(busConnectionName_);
            }
            bus_ = QDBusConnection::connectToBus(address, busConnectionName_);
            busAddress_ = address;
        }
        pending_ += 1;  // two questions follow, one was answered
        if (bus_->isConnected()) {
            const QDBusMessage ping = QDBusMessage::createMethodCall(
                QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetId"));
            auto* pinged = new QDBusPendingCallWatcher(bus_->asyncCall(ping, kCallTimeout), this);
            connect(pinged, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* done) {
                done->deleteLater();
                reachable_ = !done->isError();
                --pending_;
                finish();
            });
        } else {
            reachable_ = false;
            --pending_;
        }
        QDBusMessage get = QDBusMessage::createMethodCall(launcherService, launcherPath, propertiesInterface,
                                                          QStringLiteral("Get"));
        get << statusInterface << enabledProperty;
        auto* flag = new QDBusPendingCallWatcher(session_.asyncCall(get, kCallTimeout), this);
        connect(flag, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* done) {
            done->deleteLater();
            const QDBusPendingReply<QDBusVariant> value = *done;
            enabled_ = value.isValid() && value.value().variant().typeId() == QMetaType::Bool
                       && value.value().variant().toBool();
            --pending_;
            finish();
        });
    });
}

void AccessibilityTrust::finish()
{
    if (pending_ > 0) {
        return;
    }
    const bool trusted = reachable_ && enabled_ && syntheticInputKnown_.value_or(false);
    if (trusted != trusted_) {
        trusted_ = trusted;
        emit trustedChanged(trusted);
    }
    if (std::exchange(again_, false)) {
        refresh();
    }
}

void AccessibilityTrust::requestEnabled()
{
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(this, [this] { requestEnabled(); }, Qt::QueuedConnection);
        return;
    }
    if (!session_.isConnected()) {
        return;
    }
    QDBusMessage set = QDBusMessage::createMethodCall(launcherService, launcherPath, propertiesInterface,
                                                      QStringLiteral("Set"));
    set << statusInterface << enabledProperty << QVariant::fromValue(QDBusVariant(true));
    auto* call = new QDBusPendingCallWatcher(session_.asyncCall(set, kCallTimeout), this);
    connect(call, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* done) {
        done->deleteLater();
        refresh();
    });
}

}  // namespace platform
