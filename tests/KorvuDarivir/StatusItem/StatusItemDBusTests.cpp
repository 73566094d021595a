// The tray item for real: a StatusNotifierWatcher of the test on the session bus, the item
// registering with it, publishing its tooltip and icon, and opening its menu when a host
// activates it over D-Bus.
#include "Platform/UI/SystemTray.h"

#include "StatusItemTestSupport.h"

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

// The least of a watcher that Qt's tray accepts: a host is there, items register.
class Watcher : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
public:
    bool hostRegistered() const { return true; }
    QStringList items() const
    {
        QMutexLocker lock(&mutex_);
        return items_;
    }

public slots:
    void RegisterStatusNotifierItem(const QString& service)
    {
        QMutexLocker lock(&mutex_);
        items_ << service;
    }

private:
    mutable QMutex mutex_;
    QStringList items_;
};

// Runs `call` with a connection of its own on another thread while this one keeps
// answering D-Bus calls of the item.
template <typename Call>
QDBusMessage probe(Call call)
{
    auto result = std::async(std::launch::async, [call] {
        return call(QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("korvu-test-probe")));
    });
    EXPECT_TRUE(spinUntil([&] { return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    return result.get();
}

QDBusMessage callItem(const QString& service, const QString& interface, const QString& method, const QVariantList& arguments)
{
    return probe([&](QDBusConnection bus) {
        QDBusMessage call = QDBusMessage::createMethodCall(service, QStringLiteral("/StatusNotifierItem"), interface, method);
        call.setArguments(arguments);
        return bus.call(call);
    });
}

QDBusArgument itemProperty(const QString& service, const QString& name)
{
    const QDBusMessage reply = callItem(service, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"),
                                        {QStringLiteral("org.kde.StatusNotifierItem"), name});
    if (reply.type() != QDBusMessage::ReplyMessage) return {};
    return reply.arguments().front().value<QDBusVariant>().variant().value<QDBusArgument>();
}

// Whether a list of images (width, height, ARGB pixels) holds one.
bool hasImage(const QDBusArgument& images)
{
    images.beginArray();
    return !images.atEnd();
}

// The title of a tooltip (icon name, images, title, text).
QString toolTipTitle(const QDBusArgument& toolTip)
{
    QString iconName, title;
    toolTip.beginStructure();
    toolTip >> iconName;
    toolTip.asVariant();  // the images
    toolTip >> title;
    return title;
}

}  // namespace

TEST(StatusItem, RegistersWithTheWatcherAndOpensItsMenuOverDBus)
{
    // The watcher answers on a thread and a connection of its own; it is registered, and
    // later removed, on that thread.
    QThread watcherThread;
    watcherThread.start();
    auto* watcher = new Watcher;
    watcher->moveToThread(&watcherThread);
    QDBusConnection watcherBus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("korvu-test-watcher"));
    bool registered = false;
    QMetaObject::invokeMethod(watcher, [&] {
            registered = watcherBus.registerObject("/StatusNotifierWatcher", watcher,
                                                   QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties) &&
                         watcherBus.registerService("org.kde.StatusNotifierWatcher");
        }, Qt::BlockingQueuedConnection);
    auto stopWatcher = qScopeGuard([&] {
        // Deleted on its thread, the object also leaves the bus.
        QMetaObject::invokeMethod(watcher, [&] { delete watcher; }, Qt::BlockingQueuedConnection);
        watcherThread.quit();
        watcherThread.wait();
    });
    ASSERT_TRUE(registered) << "the watcher could not take its name on the session bus";

    MenuFixture f;
    f.model.setAccessibilityGranted(true);
    const auto controller = f.make(std::make_unique<platform::SystemTray>());
    EXPECT_TRUE(controller->isTrayAvailable());

    ASSERT_TRUE(spinUntil([&] { return !watcher->items().isEmpty(); })) << "the item never registered";
    const QString item = watcher->items().front();
    EXPECT_EQ(toolTipTitle(itemProperty(item, QStringLiteral("ToolTip"))), QStringLiteral("KORVU Darivir"));
    EXPECT_TRUE(hasImage(itemProperty(item, QStringLiteral("IconPixmap"))));

    f.model.setPhase(DictationPhase::recording);
    f.model.setRecordingSeconds(12);
    settle();
    EXPECT_EQ(toolTipTitle(itemProperty(item, QStringLiteral("ToolTip"))), QStringLiteral("KORVU Darivir · Aufnahme 0:12"));

    const QDBusMessage reply =
        callItem(item, QStringLiteral("org.kde.StatusNotifierItem"), QStringLiteral("Activate"), {10, 10});
    EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    EXPECT_TRUE(spinUntil([&] { return controller->menu()->isVisible(); })) << "activation did not open the menu";
    EXPECT_EQ(controller->toggleItem()->text(), QStringLiteral("Diktat beenden"));
    controller->menu()->hide();
}

#include "StatusItemDBusTests.moc"
