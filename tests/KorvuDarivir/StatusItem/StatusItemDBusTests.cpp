// The tray item for real: a StatusNotifierWatcher of the test on the session bus, the item
// registering with it, publishing its tooltip and icon, and opening its menu when a host
// activates it over D-Bus.
#include "KorvuDarivir/Store/AppModel.h"
#include "KorvuDarivir/Store/HistoryStore.h"
#include "KorvuDarivir/UI/StatusItemController.h"
#include "Platform/UI/SystemTray.h"

#include "StatusItemTestSupport.h"
#include "support/TempDir.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QMenu>
#include <QMutex>
#include <QThread>

#include <gtest/gtest.h>

#include <chrono>
#include <future>

using namespace korvu;

namespace {

// The least of a watcher: items register, and a host is said to be there.
class Watcher : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ items)
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)
public:
    QStringList items() const
    {
        QMutexLocker lock(&mutex_);
        return items_;
    }
    bool hostRegistered() const { return true; }
    int protocolVersion() const { return 0; }

public slots:
    void RegisterStatusNotifierItem(const QString& service, const QDBusMessage& message)
    {
        // An item names its bus name, or an object path on the caller's connection.
        const QString item = service.startsWith(QLatin1Char('/')) ? message.service() : service;
        {
            QMutexLocker lock(&mutex_);
            items_ << item;
        }
        emit StatusNotifierItemRegistered(item);
    }
    void RegisterStatusNotifierHost(const QString&) {}

signals:
    void StatusNotifierItemRegistered(const QString& service);
    void StatusNotifierItemUnregistered(const QString& service);
    void StatusNotifierHostRegistered();

private:
    mutable QMutex mutex_;
    QStringList items_;
};

// Runs `call` with a connection of its own on another thread while this one keeps
// answering D-Bus calls of the item.
template <typename Call>
auto probe(Call call)
{
    auto result = std::async(std::launch::async, [call] {
        return call(QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("korvu-test-probe")));
    });
    EXPECT_TRUE(spinUntil([&] { return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    return result.get();
}

QDBusMessage itemProperty(const QString& service, const QString& name)
{
    return probe([&](QDBusConnection bus) {
        QDBusMessage get = QDBusMessage::createMethodCall(service, QStringLiteral("/StatusNotifierItem"),
                                                          QStringLiteral("org.freedesktop.DBus.Properties"),
                                                          QStringLiteral("Get"));
        get << QStringLiteral("org.kde.StatusNotifierItem") << name;
        return bus.call(get);
    });
}

QDBusArgument argumentOf(const QDBusMessage& reply)
{
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return {};
    return reply.arguments().front().value<QDBusVariant>().variant().value<QDBusArgument>();
}

// The title of a tooltip (icon name, icon images, title, text).
QString toolTipTitle(const QDBusMessage& reply)
{
    const QDBusArgument argument = argumentOf(reply);
    QString iconName, title, text;
    argument.beginStructure();
    argument >> iconName;
    argument.beginArray();
    while (!argument.atEnd()) {
        int width = 0, height = 0;
        QByteArray pixels;
        argument.beginStructure();
        argument >> width >> height >> pixels;
        argument.endStructure();
    }
    argument.endArray();
    argument >> title >> text;
    argument.endStructure();
    return title;
}

// The widths of the icon's images (width, height, ARGB pixels).
QList<int> iconWidths(const QDBusMessage& reply)
{
    const QDBusArgument argument = argumentOf(reply);
    QList<int> widths;
    argument.beginArray();
    while (!argument.atEnd()) {
        int width = 0, height = 0;
        QByteArray pixels;
        argument.beginStructure();
        argument >> width >> height >> pixels;
        argument.endStructure();
        if (pixels.size() == qsizetype(width) * height * 4) widths << width;
    }
    argument.endArray();
    return widths;
}

}  // namespace

TEST(StatusItem, RegistersWithTheWatcherAndOpensItsMenuOverDBus)
{
    // The watcher answers on a thread and a connection of its own; it is registered, and
    // later removed, on that thread.
    QThread watcherThread;
    watcherThread.start();
    auto* watcherObject = new Watcher;
    const Watcher& watcher = *watcherObject;
    watcherObject->moveToThread(&watcherThread);
    QDBusConnection watcherBus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("korvu-test-watcher"));
    bool registered = false;
    QMetaObject::invokeMethod(
        watcherObject,
        [&] {
            registered = watcherBus.registerObject(QStringLiteral("/StatusNotifierWatcher"), watcherObject,
                                                   QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals |
                                                       QDBusConnection::ExportAllProperties) &&
                         watcherBus.registerService(QStringLiteral("org.kde.StatusNotifierWatcher"));
        },
        Qt::BlockingQueuedConnection);
    auto stopWatcher = qScopeGuard([&] {
        QMetaObject::invokeMethod(
            watcherObject,
            [&] {
                watcherBus.unregisterService(QStringLiteral("org.kde.StatusNotifierWatcher"));
                watcherBus.unregisterObject(QStringLiteral("/StatusNotifierWatcher"));
                delete watcherObject;
            },
            Qt::BlockingQueuedConnection);
        watcherThread.quit();
        watcherThread.wait();
    });
    ASSERT_TRUE(registered) << "the watcher could not take its name on the session bus";

    EXPECT_TRUE(platform::SystemTray::systemTrayAvailable());
    FakePermissions permissions;
    AppModel model(permissions);
    model.setAccessibilityGranted(true);
    testsupport::TempDir folder;
    HistoryStore history(folder.path());
    StatusItemController::Services services;
    services.model = &model;
    services.history = &history;
    services.permissions = &permissions;
    StatusItemController controller([] {}, [] {}, std::move(services));
    EXPECT_TRUE(controller.isTrayAvailable());

    ASSERT_TRUE(spinUntil([&] { return !watcher.items().isEmpty(); })) << "the item never registered";
    const QString item = watcher.items().front();
    EXPECT_EQ(toolTipTitle(itemProperty(item, QStringLiteral("ToolTip"))), QStringLiteral("KORVU Darivir"));
    EXPECT_FALSE(iconWidths(itemProperty(item, QStringLiteral("IconPixmap"))).isEmpty());

    model.setPhase(DictationPhase::recording);
    model.setRecordingSeconds(12);
    settle();
    EXPECT_EQ(toolTipTitle(itemProperty(item, QStringLiteral("ToolTip"))), QStringLiteral("KORVU Darivir · Aufnahme 0:12"));

    const QDBusMessage reply = probe([&](QDBusConnection bus) {
        QDBusMessage activate = QDBusMessage::createMethodCall(item, QStringLiteral("/StatusNotifierItem"),
                                                               QStringLiteral("org.kde.StatusNotifierItem"),
                                                               QStringLiteral("Activate"));
        activate << 10 << 10;
        return bus.call(activate);
    });
    EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    EXPECT_TRUE(spinUntil([&] { return controller.menu()->isVisible(); })) << "activation did not open the menu";
    EXPECT_EQ(controller.toggleItem()->text(), QStringLiteral("Diktat beenden"));
    controller.menu()->hide();
}

#include "StatusItemDBusTests.moc"
