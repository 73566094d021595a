// The status item: the menu's and the header's rules as tables, the header and the menu as
// real widgets over a fake tray, and the tray item for real against a StatusNotifierWatcher
// of the test on the session bus.
#include "KorvuDarivir/Store/Permissions.h"
#include "KorvuDarivir/Store/AppModel.h"
#include "KorvuDarivir/Store/HistoryStore.h"
#include "KorvuDarivir/Store/Settings.h"
#include "KorvuDarivir/UI/HeaderStatus.h"
#include "KorvuDarivir/UI/MenuHeaderView.h"
#include "KorvuDarivir/UI/ProgressBar.h"
#include "KorvuDarivir/UI/StatusItemController.h"
#include "KorvuDarivir/UI/StatusMenuState.h"
#include "Platform/Defaults/UserDefaults.h"
#include "Platform/UI/FakeTray.h"
#include "Platform/UI/SystemTray.h"
#include "support/QtWait.h"
#include "support/TempDir.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QImage>
#include <QMenu>
#include <QMutex>
#include <QSignalSpy>
#include <QTest>
#include <QTextDocument>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <future>
#include <ostream>

#include "support/QtPrinters.h"

using namespace korvu;
using testsupport::spinUntil;

namespace {

// Permissions that answer at once and from any thread: the grant check runs off the main
// thread and may still run when a test ends, so there is one instance for the whole run.
struct FakePermissions : PermissionSystem {
    MicrophoneAuthorization microphoneAuthorization() override { return MicrophoneAuthorization::authorized; }
    void requestMicrophoneAccess(std::function<void(bool)> answer) override { answer(true); }
    bool isAccessibilityTrusted() override { return trusted; }
    void promptForAccessibility() override { ++prompts; }
    bool openPane(PrivacyPane) override { ++panes; return true; }
    bool isWaylandSession() override { return false; }

    static FakePermissions& shared()
    {
        static FakePermissions permissions;
        permissions.trusted = true;
        permissions.prompts = permissions.panes = 0;
        return permissions;
    }
    std::atomic<bool> trusted{true};
    std::atomic<int> prompts{0}, panes{0};
};

// Runs the events already posted (one turn of the event loop and what it posts at once).
void settle()
{
    for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
}

// The model, history and tray of one controller, with nothing of the desktop's.
struct MenuFixture {
    FakePermissions& permissions = FakePermissions::shared();
    AppModel model{permissions};
    testsupport::TempDir folder;
    HistoryStore history{folder.path()};
    platform::FakeTray* tray = nullptr;
    int cancels = 0, settingsOpened = 0;

    // A controller over a fake tray, unless another is given.
    std::unique_ptr<StatusItemController> make(std::unique_ptr<platform::TrayBackend> other = nullptr)
    {
        auto fake = std::make_unique<platform::FakeTray>();
        tray = fake.get();
        model.installOpenSettings([this] { ++settingsOpened; });
        return std::make_unique<StatusItemController>(
            [this] { ++cancels; }, [] {},
            StatusItemController::Services{&model, &history, &permissions, other ? std::move(other) : std::move(fake), {}});
    }
};

const ModelState failed = ModelState::failed(QStringLiteral("kaputt"));
const ModelState downloading = ModelState::downloading(0.5);
const ModelState firstPrepare = ModelState::preparing(true);

QStringList titles(const QMenu* menu)
{
    QStringList result;
    for (const QAction* action : menu->actions()) {
        if (action->isSeparator()) result << QStringLiteral("---");
        else if (action->isVisible()) result << action->text() + (action->isEnabled() ? "" : " (off)");
    }
    return result;
}

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

// Calls the item with a connection of its own on another thread while this one keeps
// answering the item's D-Bus calls.
QDBusMessage callItem(const QString& service, const QString& interface, const QString& method, const QVariantList& arguments)
{
    QDBusMessage call = QDBusMessage::createMethodCall(service, "/StatusNotifierItem", interface, method);
    call.setArguments(arguments);
    auto reply = std::async(std::launch::async, [call] {
        return QDBusConnection::connectToBus(QDBusConnection::SessionBus, "korvu-test-probe").call(call);
    });
    EXPECT_TRUE(spinUntil([&] { return reply.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    return reply.get();
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

TEST(StatusItem, MenuStateAndIconOverPhaseModelAndAccessibility)
{
    using Phase = DictationPhase;
    using Icon = StatusIconChoice::Kind;
    struct Row {
        Phase phase;
        ModelState model;
        bool granted;
        bool toggleEnabled, cancelEnabled, accessibilityVisible, retryVisible;
        Icon icon;
        double ring;
    };
    const Row rows[] = {
        {Phase::idle, ModelState::ready, true, true, false, false, false, Icon::bars, 0},
        {Phase::idle, ModelState::ready, false, false, false, true, false, Icon::barsWithBadge, 0},
        {Phase::idle, ModelState::notLoaded, true, false, false, false, false, Icon::bars, 0},
        {Phase::idle, downloading, true, false, false, false, false, Icon::ring, 0.5},
        {Phase::idle, downloading, false, false, false, true, false, Icon::barsWithBadge, 0},
        {Phase::idle, firstPrepare, true, false, false, false, false, Icon::ring, 0.42},
        {Phase::idle, failed, true, false, false, false, true, Icon::barsWithBadge, 0},
        // Stopping needs neither a ready model nor the grant; processing cannot be stopped.
        {Phase::recording, ModelState::ready, true, true, true, false, false, Icon::recordDot, 0},
        {Phase::recording, failed, false, true, true, true, true, Icon::recordDot, 0},
        {Phase::processing, ModelState::ready, true, false, false, false, false, Icon::dots, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << int(row.phase) << " " << int(row.model.kind()) << " " << row.granted);
        const StatusMenuState state = StatusMenuState::from(row.phase, row.model, row.granted);
        EXPECT_EQ(std::tuple(state.toggleEnabled, state.cancelEnabled, state.accessibilityVisible, state.retryVisible),
                  std::tuple(row.toggleEnabled, row.cancelEnabled, row.accessibilityVisible, row.retryVisible));
        const StatusIconChoice icon = StatusMenuState::iconFor(row.phase, row.model, row.granted);
        EXPECT_EQ(icon.kind, row.icon);
        if (row.icon == Icon::ring) { EXPECT_DOUBLE_EQ(icon.progress, row.ring); }
    }
}

TEST(StatusItem, HistoryTitlesCutBetweenGraphemesAndStayOneLine)
{
    const QString family = QStringLiteral("👨‍👩‍👧");     // one grapheme of five code points
    const QString accented = QStringLiteral("e\u0301");  // e and a combining acute accent
    const QString ellipsis = QStringLiteral("…");
    const std::pair<QString, QString> rows[] = {
        {QString(49, QLatin1Char('a')), QString(47, QLatin1Char('a')) + ellipsis},
        {QString(47, QLatin1Char('a')) + family, QString(47, QLatin1Char('a')) + family},
        {QString(46, QLatin1Char('a')) + family + QStringLiteral("bb"), QString(46, QLatin1Char('a')) + family + ellipsis},
        {accented.repeated(49), accented.repeated(47) + ellipsis},
        {family.repeated(60), family.repeated(47) + ellipsis},
        // One line, and an ampersand is shown, not taken for a mnemonic.
        {QStringLiteral("Tom & Jerry\tim\nKino\r\n\u2028"), QStringLiteral("Tom && Jerry im Kino   ")},
    };
    for (const auto& [text, title] : rows) {
        EXPECT_EQ(StatusMenuState::historyTitle(text), title) << text.toStdString();
    }

    // The tooltip is rich text with its parts escaped: markup in a name is shown as text.
    const QString tip = StatusMenuState::historyToolTip(QStringLiteral("Gestern"), QStringLiteral("<b>A&B</b>"));
    EXPECT_TRUE(Qt::mightBeRichText(tip));
    EXPECT_TRUE(tip.contains(QStringLiteral("Gestern · &lt;b&gt;A&amp;B&lt;/b&gt; – klicken zum Kopieren"))) << tip.toStdString();
}

TEST(HeaderStatus, RowsFirstMatchWins)
{
    using Dot = HeaderStatus::Dot;
    using Phase = DictationPhase;
    const LastInsert twelve{12, QStringLiteral("Mail")};
    // Every row has an insert to show; only the ready row shows it.
    auto status = [&](Phase phase, ModelState model, bool granted, bool cleanup = false, bool wayland = false) {
        return HeaderStatus::from({phase, model, granted, {49, Hotkey::controlKey | Hotkey::optionKey}, twelve,
                                   QStringLiteral("0:07"), QStringLiteral("Deutsch"), cleanup, wayland});
    };
    const QString wayland = QStringLiteral("Wayland: Kurzbefehl und Einfügen nur in X11-Programmen");
    const std::pair<HeaderStatus, HeaderStatus> rows[] = {
        // The phase rows come before the grant.
        {status(Phase::recording, failed, false),
         {Dot::recording, "Aufnahme läuft · 0:07", "Klicken oder ⌃⌥ Leertaste zum Beenden", {}, {}}},
        {status(Phase::processing, failed, false), {Dot::working, "Text wird erstellt", "Lokal auf deinem Mac", {}, {}}},
        {status(Phase::idle, failed, false),
         {Dot::recording, "Bedienungshilfen fehlen", "Ohne Freigabe kann kein Text eingefügt werden", {}, {}}},
        {status(Phase::idle, downloading, true),
         {Dot::working, "Sprachmodell wird geladen", "315 von 630 MB · 50 %", 0.5, "Du kannst gleich diktieren."}},
        {status(Phase::idle, firstPrepare, true),
         {Dot::working, "Sprachmodell wird vorbereitet", "Wird für deinen Mac optimiert …", {}, "Passiert nur einmal."}},
        {status(Phase::idle, failed, true),
         {Dot::recording, "Download unterbrochen", "Prüfe deine Internetverbindung", {}, {}}},
        {status(Phase::idle, ModelState::ready, true),
         {Dot::ready, "Bereit", "Deutsch · läuft lokal auf deinem Mac", {}, "Zuletzt: 12 Wörter in Mail eingefügt"}},
        {status(Phase::idle, ModelState::ready, true, true),
         {Dot::ready, "Bereit", "Deutsch · mit KI-Aufbereitung", {}, "Zuletzt: 12 Wörter in Mail eingefügt"}},
        {status(Phase::idle, ModelState::notLoaded, true),
         {Dot::working, "Sprachmodell nicht geladen", "Wird in der Ersteinrichtung geladen", {}, {}}},
        // In a Wayland session the closing line says what works, in every row.
        {status(Phase::idle, ModelState::ready, true, false, true),
         {Dot::ready, "Bereit", "Deutsch · läuft lokal auf deinem Mac", {}, wayland}},
        {status(Phase::recording, failed, false, false, true),
         {Dot::recording, "Aufnahme läuft · 0:07", "Klicken oder ⌃⌥ Leertaste zum Beenden", {}, wayland}},
    };
    for (const auto& [actual, expected] : rows) {
        EXPECT_EQ(actual, expected) << expected.title.toStdString() << " shown as " << actual.title.toStdString();
    }
}

TEST(ProgressBar, FillIsClampedAndNaNIsEmpty)
{
    const QColor fill(0x4C, 0x40, 0x84);
    auto filled = [&](double value, int x) {
        ProgressBar bar(value, fill);
        bar.setFixedSize(100, 4);
        QImage image(100, 4, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::white);
        bar.render(&image);
        return image.pixelColor(x, 2) == fill;  // the track is a faint line over white
    };
    EXPECT_TRUE(filled(1.3, 3) && filled(1.3, 96) && filled(0.5, 47));
    EXPECT_FALSE(filled(-0.2, 3) || filled(std::nan(""), 3) || filled(std::nan(""), 50) || filled(0.5, 52));
}

TEST(StatusItem, OneRefreshPerTurnWithTheNewValues)
{
    MenuFixture f;
    f.model.setAccessibilityGranted(true);
    f.model.setModel(ModelState::ready);
    auto controller = f.make();
    QSignalSpy refreshes(controller.get(), &StatusItemController::refreshed);
    const int iconsBefore = f.tray->iconUpdates;

    f.model.setPhase(DictationPhase::recording);
    f.model.setRecordingSeconds(7);
    f.model.setHotkey({96, Hotkey::controlKey});
    f.model.setLastInsert(LastInsert{3, QStringLiteral("Mail")});
    platform::UserDefaults::standard().set(QString::fromLatin1(Settings::cleanupEnabledKey), true);
    EXPECT_FALSE(controller->header()->status().last.has_value()) << "nothing before the next turn";
    settle();
    EXPECT_EQ(refreshes.count(), 1);
    // The header follows the model and the settings on the same turn.
    EXPECT_EQ(controller->header()->status().title, QStringLiteral("Aufnahme läuft · 0:07"));
    EXPECT_EQ(controller->toggleItem()->shortcut(), QKeySequence(Qt::ControlModifier | Qt::Key_F5));
    EXPECT_EQ(f.tray->toolTip, QStringLiteral("KORVU Darivir · Aufnahme 0:07"));
    EXPECT_EQ(f.tray->iconUpdates, iconsBefore + 1);
    EXPECT_EQ(f.tray->icon.pixmap(16).toImage().pixelColor(8, 8), QColor(0xEE, 0x3F, 0x23));  // the record dot

    // The running time changes the tooltip, not the image; a key without a shortcut form
    // leaves no stale shortcut behind.
    f.model.setRecordingSeconds(8);
    f.model.setHotkey({53, Hotkey::controlKey});
    settle();
    EXPECT_EQ(f.tray->toolTip, QStringLiteral("KORVU Darivir · Aufnahme 0:08"));
    EXPECT_EQ(f.tray->iconUpdates, iconsBefore + 1);
    EXPECT_TRUE(controller->toggleItem()->shortcut().isEmpty());

    // A download draws a new ring only when it has visibly moved.
    f.model.setPhase(DictationPhase::idle);
    for (const double progress : {0.5, 0.501, 0.51}) {
        f.model.setModel(ModelState::downloading(progress));
        settle();
    }
    EXPECT_EQ(f.tray->iconUpdates, iconsBefore + 3);

    f.model.setPhase(DictationPhase::idle);
    f.model.setModel(ModelState::ready);
    settle();
    EXPECT_TRUE(controller->header()->status().detail.endsWith(QStringLiteral("mit KI-Aufbereitung")));
    platform::UserDefaults::standard().removeObject(QString::fromLatin1(Settings::cleanupEnabledKey));
}

TEST(StatusItem, MenuOpensWithRecentDictationsAndCopiesThem)
{
    MenuFixture f;
    f.permissions.trusted = false;
    f.model.setAccessibilityGranted(false);
    f.model.setModel(ModelState::ready);
    auto controller = f.make();
    EXPECT_TRUE(f.tray->shown);

    // Without dictations: the placeholder.
    controller->menuWillOpen();
    EXPECT_EQ(titles(controller->historyMenu()),
              QStringList({"Noch keine Diktate (off)", "---", "Ganzen Verlauf zeigen …"}));
    EXPECT_TRUE(controller->accessibilityItem()->isVisible());
    // Asking for the grant prompts and opens the settings, off the main thread.
    controller->accessibilityItem()->trigger();
    EXPECT_TRUE(spinUntil([&] { return f.permissions.prompts == 1 && f.permissions.panes == 1; }));

    Settings::registerDefaults();  // "historyEnabled" is on by default
    for (int i = 1; i <= 7; ++i) f.history.add(QStringLiteral("Diktat %1").arg(i), QStringLiteral("Mail"));
    // The grant was given meanwhile: the opened menu learns it a moment later.
    f.permissions.trusted = true;
    f.tray->activate();
    ASSERT_TRUE(spinUntil([&] { return f.model.accessibilityGranted(); }));
    settle();
    EXPECT_TRUE(controller->menu()->isVisible());
    EXPECT_FALSE(controller->accessibilityItem()->isVisible());
    EXPECT_TRUE(controller->toggleItem()->isEnabled());
    EXPECT_EQ(titles(controller->historyMenu()),
              QStringList({"Diktat 7", "Diktat 6", "Diktat 5", "Diktat 4", "Diktat 3", "---", "Ganzen Verlauf zeigen …"}));

    // The open menu makes room when the header grows.
    QAction* headerItem = controller->menu()->actions().front();
    const int headerHeight = controller->menu()->actionGeometry(headerItem).height();
    f.model.setLastInsert(LastInsert{40, QStringLiteral("Ein Programm mit einem sehr langen Namen, der umbrechen muss")});
    settle();
    EXPECT_GT(controller->header()->height(), headerHeight);
    EXPECT_EQ(controller->menu()->actionGeometry(headerItem).height(), controller->header()->height());

    controller->historyMenu()->actions().front()->trigger();
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("Diktat 7"));
    // The open menu takes its shortcuts.
    QTest::keyClick(controller->menu(), Qt::Key_Comma, Qt::ControlModifier);
    EXPECT_EQ(f.settingsOpened, 1);
    controller->menu()->hide();

    // "Ganzen Verlauf zeigen …" opens the history tab.
    controller->historyMenu()->actions().back()->trigger();
    EXPECT_EQ(platform::UserDefaults::standard().string(QString::fromLatin1(Settings::settingsTabKey)),
              QStringLiteral("history"));
    EXPECT_EQ(f.settingsOpened, 2);
    f.model.setPhase(DictationPhase::recording);
    settle();
    controller->cancelItem()->trigger();
    EXPECT_EQ(f.cancels, 1);
}

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

#include "StatusItemTests.moc"
