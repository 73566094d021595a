#pragma once

// Desktop services of the session bus that a test plays itself: a StatusNotifierWatcher
// with a host (a desktop with a tray that speaks D-Bus) and a notification server. Each
// answers on a thread and a bus connection of its own, so the test's main thread may
// wait on the program under test. List this header among a suite's sources for moc.

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QMutex>
#include <QMutexLocker>
#include <QObject>
#include <QStringList>
#include <QThread>
#include <QVariantMap>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <utility>

#include "support/QtWait.h"

namespace testsupport {

// The least of a watcher that Qt's tray accepts: a host is there, items register.
class StatusNotifierWatcher : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
public:
    static constexpr const char* service = "org.kde.StatusNotifierWatcher";
    static constexpr const char* path = "/StatusNotifierWatcher";

    bool hostRegistered() const { return true; }
    QStringList items() const
    {
        QMutexLocker lock(&mutex_);
        return items_;
    }

public slots:
    void RegisterStatusNotifierItem(const QString& item)
    {
        QMutexLocker lock(&mutex_);
        items_ << item;
    }

private:
    mutable QMutex mutex_;
    QStringList items_;
};

// A notification server that keeps what it was asked to show.
class NotificationServer : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    static constexpr const char* service = "org.freedesktop.Notifications";
    static constexpr const char* path = "/org/freedesktop/Notifications";

    struct Shown {
        QString summary;
        QString body;
        QStringList actions;
    };
    QList<Shown> shown() const
    {
        QMutexLocker lock(&mutex_);
        return shown_;
    }

public slots:
    uint Notify(const QString&, uint, const QString&, const QString& summary, const QString& body,
                const QStringList& actions, const QVariantMap&, int)
    {
        QMutexLocker lock(&mutex_);
        shown_.append({summary, body, actions});
        return uint(shown_.size());
    }
    QStringList GetCapabilities() { return {QStringLiteral("body"), QStringLiteral("actions")}; }

private:
    mutable QMutex mutex_;
    QList<Shown> shown_;
};

// One of the above on the session bus under its name, answering on a thread of its own
// until destroyed.
template <typename Service>
class OnTheBus {
public:
    OnTheBus()
    {
        thread_.start();
        service_ = new Service;
        service_->moveToThread(&thread_);
        const QString connection = QStringLiteral("korvu-test-") + QString::fromLatin1(Service::service);
        QMetaObject::invokeMethod(
            service_,
            [this, connection] {
                QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, connection);
                registered_ = bus.registerObject(QString::fromLatin1(Service::path), service_,
                                                 QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties)
                              && bus.registerService(QString::fromLatin1(Service::service));
            },
            Qt::BlockingQueuedConnection);
        connection_ = connection;
    }
    ~OnTheBus()
    {
        // Deleted on its thread, the object leaves the bus; the connection gives up the name.
        QMetaObject::invokeMethod(
            service_,
            [this] {
                QDBusConnection bus(connection_);
                bus.unregisterService(QString::fromLatin1(Service::service));
                delete service_;
            },
            Qt::BlockingQueuedConnection);
        QDBusConnection::disconnectFromBus(connection_);
        thread_.quit();
        thread_.wait();
    }
    OnTheBus(const OnTheBus&) = delete;
    OnTheBus& operator=(const OnTheBus&) = delete;

    // Whether it took its name (another of its kind may run on the bus).
    bool registered() const { return registered_; }
    Service& operator*() const { return *service_; }
    Service* operator->() const { return service_; }

private:
    QThread thread_;
    Service* service_ = nullptr;
    QString connection_;
    bool registered_ = false;
};

// Calls over a connection of its own on another thread while this thread keeps its event
// loop running (and so answers calls made to objects of this process).
inline QDBusMessage callOnBus(const QDBusMessage& call)
{
    auto reply = std::async(std::launch::async, [call] {
        return QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("korvu-test-probe")).call(call);
    });
    spinUntil([&] { return reply.wait_for(std::chrono::seconds(0)) == std::future_status::ready; });
    return reply.get();
}

// A property of a StatusNotifierItem, as its variant.
inline QVariant itemProperty(const QString& service, const QString& name)
{
    QDBusMessage call = QDBusMessage::createMethodCall(service, QStringLiteral("/StatusNotifierItem"),
                                                       QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    call.setArguments({QStringLiteral("org.kde.StatusNotifierItem"), name});
    const QDBusMessage reply = callOnBus(call);
    if (reply.type() != QDBusMessage::ReplyMessage) return {};
    return reply.arguments().front().value<QDBusVariant>().variant();
}

// A label as a host shows it: "_x" is an underlined x, "__" a "_".
inline QString hostLabel(const QString& raw)
{
    QString label;
    for (qsizetype i = 0; i < raw.size(); ++i) {
        if (raw[i] == QLatin1Char('_') && i + 1 < raw.size()) ++i;
        label += raw[i];
    }
    return label;
}

// The keys an exported entry shows beside its label, as "Control+q" (several chords
// joined by ", "); empty when it shows none.
inline QString menuKeys(const QVariantMap& properties)
{
    const QVariant value = properties.value(QStringLiteral("shortcut"));
    if (!value.isValid()) return {};
    const QDBusArgument keys = value.value<QDBusArgument>();
    QStringList chords;
    keys.beginArray();
    while (!keys.atEnd()) {
        QStringList chord;
        keys >> chord;
        chords << chord.join(QLatin1Char('+'));
    }
    keys.endArray();
    return chords.join(QStringLiteral(", "));
}

// One entry of an exported menu's layout (com.canonical.dbusmenu): its id, its properties
// and its children's layouts, unpacked from the (ia{sv}av) structure GetLayout returns.
struct MenuNode {
    int id = 0;
    QVariantMap properties;
    QList<QDBusArgument> children;
};

inline MenuNode readMenuNode(const QDBusArgument& layout)
{
    MenuNode node;
    layout.beginStructure();
    layout >> node.id >> node.properties;
    layout.beginArray();
    while (!layout.atEnd()) {
        QDBusVariant child;
        layout >> child;
        node.children << child.variant().value<QDBusArgument>();
    }
    layout.endArray();
    layout.endStructure();
    return node;
}

// The whole layout of the menu exported at `path`, or nothing when the item does not answer.
inline std::optional<QDBusArgument> menuLayout(const QString& service, const QString& path)
{
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, QStringLiteral("com.canonical.dbusmenu"),
                                                       QStringLiteral("GetLayout"));
    call.setArguments({0, -1, QStringList()});
    const QDBusMessage reply = callOnBus(call);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() < 2) return std::nullopt;
    return reply.arguments().at(1).value<QDBusArgument>();
}

// The visible rows of an exported menu (com.canonical.dbusmenu) below `layout`, as a host
// shows them: a label, " (off)" when disabled, "---" for a separator, and a submenu's
// rows after it, indented by two spaces. With `withKeys`, an entry that shows keys ends
// in them, as " [Control+,]".
inline void readMenuRows(const QDBusArgument& layout, const QString& indent, QStringList& rows, bool withKeys = false)
{
    const auto [id, properties, children] = readMenuNode(layout);
    QString childIndent = indent;
    if (id != 0) {
        if (!properties.value(QStringLiteral("visible"), true).toBool()) return;
        if (properties.value(QStringLiteral("type")).toString() == QLatin1String("separator")) {
            rows << indent + QStringLiteral("---");
        } else {
            QString row = indent + hostLabel(properties.value(QStringLiteral("label")).toString());
            if (!properties.value(QStringLiteral("enabled"), true).toBool()) row += QStringLiteral(" (off)");
            if (properties.value(QStringLiteral("toggle-state"), 0).toInt() == 1) row += QStringLiteral(" (checked)");
            if (const QString keys = menuKeys(properties); withKeys && !keys.isEmpty()) row += QStringLiteral(" [%1]").arg(keys);
            rows << row;
        }
        childIndent += QStringLiteral("  ");
    }
    for (const QDBusArgument& child : children) readMenuRows(child, childIndent, rows, withKeys);
}

// The exported menu of a StatusNotifierItem, read as a host reads it (GetLayout of the
// whole tree); empty when the item exports none. `withKeys` as for readMenuRows.
inline QStringList exportedMenuRows(const QString& service, bool withKeys = false)
{
    const QString path = itemProperty(service, QStringLiteral("Menu")).value<QDBusObjectPath>().path();
    if (path.isEmpty() || path == QLatin1String("/")) return {};
    const std::optional<QDBusArgument> layout = menuLayout(service, path);
    if (!layout) return {};
    QStringList rows;
    readMenuRows(*layout, QString(), rows, withKeys);
    return rows;
}

// Chooses the entry titled `label` (as a host shows it) in an exported menu, as a host
// does on a click; false when there is no such entry.
inline bool clickExportedItem(const QString& service, const QString& label)
{
    const QString path = itemProperty(service, QStringLiteral("Menu")).value<QDBusObjectPath>().path();
    const std::optional<QDBusArgument> layout = menuLayout(service, path);
    if (!layout) return false;
    // Walks the tree for the id of the entry.
    int found = -1;
    std::function<void(const QDBusArgument&)> walk = [&](const QDBusArgument& node) {
        const auto [id, properties, children] = readMenuNode(node);
        if (hostLabel(properties.value(QStringLiteral("label")).toString()) == label) found = id;
        for (const QDBusArgument& child : children) walk(child);
    };
    walk(*layout);
    if (found < 0) return false;
    QDBusMessage event = QDBusMessage::createMethodCall(service, path, QStringLiteral("com.canonical.dbusmenu"),
                                                        QStringLiteral("Event"));
    event.setArguments({found, QStringLiteral("clicked"), QVariant::fromValue(QDBusVariant(QString())), uint(0)});
    return callOnBus(event).type() == QDBusMessage::ReplyMessage;
}

// Tells an exported menu that a host opens it, as hosts do before they show it.
inline void openExportedMenu(const QString& service)
{
    const QString path = itemProperty(service, QStringLiteral("Menu")).value<QDBusObjectPath>().path();
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, QStringLiteral("com.canonical.dbusmenu"),
                                                       QStringLiteral("AboutToShow"));
    call.setArguments({0});
    callOnBus(call);
}

}  // namespace testsupport
