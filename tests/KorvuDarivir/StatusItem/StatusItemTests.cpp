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
#include "fakes/FakePermissionSystem.h"
#include "fakes/FakeTray.h"
#include "Platform/UI/SystemTray.h"
#include "support/DesktopBus.h"
#include "support/QtWait.h"
#include "support/ShownText.h"
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
#include <QPainter>
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

// Trusted permissions. The grant check runs off the main thread and may still run when a
// test ends, so there is one instance for the whole run, reset for each test.
fakes::FakePermissionSystem& sharedPermissions()
{
    static fakes::FakePermissionSystem permissions;
    permissions.reset();
    permissions.trusted = true;
    return permissions;
}

// Runs the events already posted (one turn of the event loop and what it posts at once).
void settle()
{
    for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
}

// The model, history and tray of one controller, with nothing of the desktop's.
struct MenuFixture {
    fakes::FakePermissionSystem& permissions = sharedPermissions();
    AppModel model{permissions};
    testsupport::TempDir folder;
    HistoryStore history{folder.path()};
    fakes::FakeTray* tray = nullptr;
    int cancels = 0, quits = 0, settingsOpened = 0;

    // A controller over a fake tray, unless another is given.
    std::unique_ptr<StatusItemController> make(std::unique_ptr<platform::TrayBackend> other = nullptr)
    {
        auto fake = std::make_unique<fakes::FakeTray>();
        tray = fake.get();
        model.installOpenSettings([this] { ++settingsOpened; });
        return std::make_unique<StatusItemController>(
            [this] { ++cancels; }, [this] { ++quits; },
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

QDBusMessage callItem(const QString& service, const QString& interface, const QString& method, const QVariantList& arguments)
{
    QDBusMessage call = QDBusMessage::createMethodCall(service, "/StatusNotifierItem", interface, method);
    call.setArguments(arguments);
    return testsupport::callOnBus(call);
}

QDBusArgument itemProperty(const QString& service, const QString& name)
{
    return testsupport::itemProperty(service, name).value<QDBusArgument>();
}

// The widths of a list of images (width, height, ARGB pixels).
QList<int> imageWidths(const QDBusArgument& images)
{
    QList<int> widths;
    images.beginArray();
    while (!images.atEnd()) {
        int width = 0, height = 0;
        QByteArray pixels;
        images.beginStructure();
        images >> width >> height >> pixels;
        images.endStructure();
        widths << width;
    }
    images.endArray();
    return widths;
}

// The images of a list as a host reads them: ARGB32 pixels in network byte order.
QList<QImage> images(const QDBusArgument& list)
{
    QList<QImage> result;
    list.beginArray();
    while (!list.atEnd()) {
        int width = 0, height = 0;
        QByteArray pixels;
        list.beginStructure();
        list >> width >> height >> pixels;
        list.endStructure();
        QImage image(width, height, QImage::Format_ARGB32);
        for (int i = 0; i < width * height && 4 * i + 3 < pixels.size(); ++i) {
            const auto byte = [&](int k) { return static_cast<uchar>(pixels[4 * i + k]); };
            image.setPixel(i % width, i / width, qRgba(byte(1), byte(2), byte(3), byte(0)));
        }
        result << image;
    }
    list.endArray();
    return result;
}

// How many pixels of `icon` over a panel of `panel` differ from it in brightness by 40 %.
int standingOut(const QImage& icon, const QColor& panel)
{
    QImage shown(icon.size(), QImage::Format_RGB32);
    shown.fill(panel);
    QPainter(&shown).drawImage(QPoint(), icon);
    int count = 0;
    for (int y = 0; y < shown.height(); ++y) {
        for (int x = 0; x < shown.width(); ++x) count += std::abs(qGray(shown.pixel(x, y)) - qGray(panel.rgb())) >= 102;
    }
    return count;
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

    // The tooltip is plain text on one line (Qt wraps rich text); a name that looks like
    // markup is shown as written, never taken for rich text.
    const QString joiner(QChar(0x2060));
    const std::pair<QString, QString> tips[] = {
        {QStringLiteral("Mail"), QStringLiteral("Gestern · Mail – klicken zum Kopieren")},
        {QStringLiteral("<b>A&B</b>"), QStringLiteral("Gestern · <b>A&B</b> – klicken zum Kopieren")},
        {QStringLiteral("&lt;i&gt;"), QStringLiteral("Gestern · &lt;i&gt; – klicken zum Kopieren")},
        {QStringLiteral("Zwei\nZeilen"), QStringLiteral("Gestern · Zwei Zeilen – klicken zum Kopieren")},
    };
    for (const auto& [app, shown] : tips) {
        const QString tip = StatusMenuState::historyToolTip(QStringLiteral("Gestern"), app);
        EXPECT_FALSE(Qt::mightBeRichText(tip)) << tip.toStdString();
        EXPECT_FALSE(tip.contains(QLatin1Char('\n')));
        EXPECT_EQ(QString(tip).remove(joiner), shown);
    }
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
         {Dot::recording, "Aufnahme läuft · 0:07", "Klicken oder Strg+Alt+Leertaste zum Beenden", {}, {}}},
        {status(Phase::processing, failed, false), {Dot::working, "Text wird erstellt", "Lokal auf diesem Rechner", {}, {}}},
        {status(Phase::idle, failed, false),
         {Dot::recording, "Bedienungshilfen fehlen", "Ohne Freigabe kann kein Text eingefügt werden", {}, {}}},
        {status(Phase::idle, downloading, true),
         {Dot::working, "Sprachmodell wird geladen", "315 von 630 MB · 50 %", 0.5, "Du kannst gleich diktieren."}},
        {status(Phase::idle, firstPrepare, true),
         {Dot::working, "Sprachmodell wird vorbereitet", "Wird für diesen Rechner optimiert …", {}, "Passiert nur einmal."}},
        {status(Phase::idle, failed, true),
         {Dot::recording, "Download unterbrochen", "Prüfe deine Internetverbindung", {}, {}}},
        {status(Phase::idle, ModelState::ready, true),
         {Dot::ready, "Bereit", "Deutsch · läuft lokal auf diesem Rechner", {}, "Zuletzt: 12 Wörter in Mail eingefügt"}},
        {status(Phase::idle, ModelState::ready, true, true),
         {Dot::ready, "Bereit", "Deutsch · mit KI-Aufbereitung", {}, "Zuletzt: 12 Wörter in Mail eingefügt"}},
        {status(Phase::idle, ModelState::notLoaded, true),
         {Dot::working, "Sprachmodell nicht geladen", "Wird in der Ersteinrichtung geladen", {}, {}}},
        // In a Wayland session the closing line says what works, in every row.
        {status(Phase::idle, ModelState::ready, true, false, true),
         {Dot::ready, "Bereit", "Deutsch · läuft lokal auf diesem Rechner", {}, wayland}},
        {status(Phase::recording, failed, false, false, true),
         {Dot::recording, "Aufnahme läuft · 0:07", "Klicken oder Strg+Alt+Leertaste zum Beenden", {}, wayland}},
    };
    for (const auto& [actual, expected] : rows) {
        EXPECT_EQ(actual, expected) << expected.title.toStdString() << " shown as " << actual.title.toStdString();
    }
}

// Everything the tray menu and its header show, in every phase and model state, is in the
// words of this desktop, with the shortcut as the keys read.
TEST(StatusItem, TheMenuSpeaksOfThisDesktop)
{
    MenuFixture f;
    f.model.setAccessibilityGranted(true);
    f.model.setHotkey({49, Hotkey::controlKey | Hotkey::optionKey});
    auto controller = f.make();
    QStringList shown;
    for (const bool granted : {true, false}) {
        for (const DictationPhase phase : {DictationPhase::idle, DictationPhase::recording, DictationPhase::processing}) {
            for (const ModelState& state : {ModelState::notLoaded, downloading, firstPrepare, ModelState::preparing(false),
                                            failed, ModelState::ready}) {
                f.model.setAccessibilityGranted(granted);
                f.model.setPhase(phase);
                f.model.setModel(state);
                for (const bool cleanup : {false, true}) {
                    platform::UserDefaults::standard().set(QString::fromLatin1(Settings::cleanupEnabledKey), cleanup);
                    settle();
                    shown << testsupport::shownTexts(*controller->menu()) << testsupport::shownTexts(*controller->header())
                          << f.tray->toolTip;
                }
            }
        }
    }
    EXPECT_EQ(testsupport::foreignDesktopWords(shown), QStringList());
    EXPECT_TRUE(shown.contains(QStringLiteral("Diktat starten\tStrg+Alt+Leertaste")));
    EXPECT_TRUE(shown.contains(QStringLiteral("Lokal auf diesem Rechner")));
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
    EXPECT_EQ(controller->toggleItem()->text(), QStringLiteral("Diktat beenden\tStrg+F5")) << "the shortcut as shown everywhere";
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
    EXPECT_TRUE(spinUntil([&] { return f.permissions.prompts == 1 && f.permissions.openedPanes() == std::vector{PrivacyPane::accessibility}; }));

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
    // Ctrl+Q only closes the windows elsewhere in the application: the quit item neither
    // shows it nor ends the application on it.
    QAction* quit = controller->menu()->actions().back();
    ASSERT_EQ(quit->text(), QStringLiteral("KORVU Darivir beenden"));
    EXPECT_TRUE(quit->shortcut().isEmpty());
    controller->openMenu();
    settle();
    QTest::keyClick(controller->menu(), Qt::Key_Q, Qt::ControlModifier);
    EXPECT_EQ(f.quits, 0);
    quit->trigger();
    EXPECT_EQ(f.quits, 1);
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

// The header grows with a longer text and shrinks back with a shorter one, and the open
// menu gives its entry exactly the header's height each time, so the rows below never
// stay moved.
TEST(StatusItem, HeaderHeightFollowsItsTextBothWays)
{
    MenuFixture f;
    f.model.setAccessibilityGranted(true);
    f.model.setModel(ModelState::ready);
    f.model.setLastInsert(LastInsert{3, QStringLiteral("Mail")});
    auto controller = f.make();
    controller->openMenu();
    settle();
    ASSERT_TRUE(controller->menu()->isVisible());
    QAction* headerItem = controller->menu()->actions().front();
    const int short1 = controller->header()->height();
    const int menuHeight = controller->menu()->height();

    f.model.setLastInsert(LastInsert{40, QStringLiteral("Ein Programm mit einem sehr langen Namen, der zweimal umbrechen muss")});
    settle();
    const int tall = controller->header()->height();
    EXPECT_GT(tall, short1);
    EXPECT_EQ(controller->menu()->actionGeometry(headerItem).height(), tall);

    f.model.setLastInsert(LastInsert{4, QStringLiteral("Kate")});
    settle();
    EXPECT_EQ(controller->header()->height(), short1);
    EXPECT_EQ(controller->menu()->actionGeometry(headerItem).height(), short1);
    EXPECT_EQ(controller->menu()->height(), menuHeight);
    // A header made afresh in this state is as high.
    MenuHeaderView fresh(f.model);
    EXPECT_EQ(fresh.height(), short1);

    // The same when the detail line shrinks from two lines to one.
    f.model.setAccessibilityGranted(false);
    settle();
    const int noGrant = controller->header()->height();
    f.model.setAccessibilityGranted(true);
    settle();
    EXPECT_EQ(controller->header()->height(), short1) << "after " << noGrant;
    controller->menu()->hide();
}

TEST(StatusItem, RegistersWithTheWatcherAndOpensItsMenuOverDBus)
{
    const testsupport::OnTheBus<testsupport::StatusNotifierWatcher> watcher;
    ASSERT_TRUE(watcher.registered()) << "the watcher could not take its name on the session bus";

    MenuFixture f;
    f.model.setAccessibilityGranted(true);
    const auto controller = f.make(std::make_unique<platform::SystemTray>());
    EXPECT_TRUE(controller->isTrayAvailable());

    ASSERT_TRUE(spinUntil([&] { return !watcher->items().isEmpty(); })) << "the item never registered";
    const QString item = watcher->items().front();
    EXPECT_EQ(toolTipTitle(itemProperty(item, QStringLiteral("ToolTip"))), QStringLiteral("KORVU Darivir"));
    // The image at 1x and at 2x, so that a HiDPI panel need not scale a small one up.
    const QList<int> widths = imageWidths(itemProperty(item, QStringLiteral("IconPixmap")));
    EXPECT_TRUE(widths.contains(16) && widths.contains(32)) << testing::PrintToString(widths);
    // The panel's colour is unknown to the application: the image shows on a black panel
    // and on a white one alike.
    for (const QImage& image : images(itemProperty(item, QStringLiteral("IconPixmap")))) {
        const int least = image.width() * image.height() / 64;
        EXPECT_GE(standingOut(image, Qt::black), least) << image.width() << " px on black";
        EXPECT_GE(standingOut(image, Qt::white), least) << image.width() << " px on white";
    }

    f.model.setPhase(DictationPhase::recording);
    f.model.setRecordingSeconds(12);
    settle();
    EXPECT_EQ(toolTipTitle(itemProperty(item, QStringLiteral("ToolTip"))), QStringLiteral("KORVU Darivir · Aufnahme 0:12"));

    const QDBusMessage reply =
        callItem(item, QStringLiteral("org.kde.StatusNotifierItem"), QStringLiteral("Activate"), {10, 10});
    EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    EXPECT_TRUE(spinUntil([&] { return controller->menu()->isVisible(); })) << "activation did not open the menu";
    EXPECT_TRUE(controller->toggleItem()->text().startsWith(QStringLiteral("Diktat beenden\t")));
    controller->menu()->hide();
}

// A host that opens the menu itself reads the exported copy: the header's two lines as
// rows that cannot be chosen, then the same items as the menu we pop up, with the same
// titles and enabled states, in three states of the model.
TEST(StatusItem, ExportsTheSameMenuOverDBusInEveryState)
{
    const testsupport::OnTheBus<testsupport::StatusNotifierWatcher> watcher;
    ASSERT_TRUE(watcher.registered()) << "the watcher could not take its name on the session bus";
    MenuFixture f;
    Settings::registerDefaults();  // "historyEnabled" is on by default
    f.model.setAccessibilityGranted(true);
    f.model.setModel(ModelState::ready);
    const auto controller = f.make(std::make_unique<platform::SystemTray>());
    ASSERT_TRUE(spinUntil([&] { return !watcher->items().isEmpty(); })) << "the item never registered";
    const QString item = watcher->items().front();

    const auto header = [&] {
        settle();
        return QStringList{controller->header()->status().title + " (off)", controller->header()->status().detail + " (off)",
                           "---"};
    };
    const QStringList history{"Letzte Diktate", "  Noch keine Diktate (off)", "  ---", "  Ganzen Verlauf zeigen …"};
    const QStringList rest{"Einstellungen …", "Nach Updates suchen …", "---", "KORVU Darivir beenden"};
    // The exported copy follows the model on the next turn; a host reads it when it
    // opens it.
    const auto read = [&] {
        QStringList rows;
        spinUntil([&] {
            rows = testsupport::exportedMenuRows(item);
            return rows.size() > 3 && rows.front() == header().front();
        }, std::chrono::seconds(20));
        return rows;
    };

    EXPECT_EQ(read(), (header() + QStringList{"Diktat starten", "Aufnahme abbrechen (off)", "---"} + history + rest));

    f.permissions.trusted = false;
    f.model.setAccessibilityGranted(false);
    f.model.setModel(failed);
    EXPECT_EQ(read(), (header()
                       + QStringList{"Bedienungshilfen erlauben …", "Sprachmodell erneut laden", "Diktat starten (off)",
                                     "Aufnahme abbrechen (off)", "---"}
                       + history + rest));

    f.permissions.trusted = true;
    f.model.setAccessibilityGranted(true);
    f.model.setModel(ModelState::ready);
    f.model.setPhase(DictationPhase::recording);
    f.model.setRecordingSeconds(3);
    EXPECT_EQ(read(), (header() + QStringList{"Diktat beenden", "Aufnahme abbrechen", "---"} + history + rest));
    EXPECT_EQ(header().front(), QStringLiteral("Aufnahme läuft · 0:03 (off)"));

    // A host shows the same keys as the menu, and only true ones: Ctrl+Q only closes the
    // windows elsewhere, so the quit entry shows no keys.
    const QStringList withKeys = testsupport::exportedMenuRows(item, true);
    EXPECT_TRUE(withKeys.contains("Einstellungen … [Control+,]")) << withKeys.join('\n').toStdString();
    EXPECT_TRUE(withKeys.contains("KORVU Darivir beenden")) << withKeys.join('\n').toStdString();
    EXPECT_TRUE(withKeys.contains("Diktat beenden [" + controller->toggleItem()->shortcut().toString() + "]"))
        << withKeys.join('\n').toStdString();

    // Opening it counts as opening the menu: the recent dictations are read again.
    // Its titles read as written, whatever a host makes of "_" and "&".
    f.history.add(QStringLiteral("snake_case & Co & mehr"), QStringLiteral("Mail"));
    testsupport::openExportedMenu(item);
    EXPECT_TRUE(spinUntil([&] { return testsupport::exportedMenuRows(item).contains("  snake_case & Co & mehr"); },
                          std::chrono::seconds(20)))
        << testsupport::exportedMenuRows(item).join('\n').toStdString();

    // Choosing an exported item runs the menu's action.
    const QList<QAction*> exported = controller->exportedMenu()->actions();
    const auto exportedCancel =
        std::find_if(exported.begin(), exported.end(), [](QAction* a) { return a->text() == "Aufnahme abbrechen"; });
    ASSERT_NE(exportedCancel, exported.end());
    (*exportedCancel)->trigger();
    EXPECT_EQ(f.cancels, 1);
}

#include "StatusItemTests.moc"
