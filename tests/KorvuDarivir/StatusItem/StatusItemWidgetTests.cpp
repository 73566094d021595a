// The header, the progress bar and the menu as real widgets, with a fake tray.
#include "KorvuDarivir/Store/AppModel.h"
#include "KorvuDarivir/Store/Settings.h"
#include "KorvuDarivir/UI/MenuHeaderView.h"
#include "KorvuDarivir/UI/ProgressBar.h"
#include "Platform/Defaults/UserDefaults.h"

#include "StatusItemTestSupport.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace korvu;

TEST(ProgressBar, FillIsClampedAndNaNIsEmpty)
{
    const QColor fill(0x4C, 0x40, 0x84);
    auto fillAt = [&](double value, int x) {
        ProgressBar bar(value, fill);
        bar.setFixedSize(100, 4);
        QImage image(100, 4, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::white);
        bar.render(&image);
        // The fill is opaque; the track is a faint line colour over white.
        return image.pixelColor(x, 2) == fill;
    };
    EXPECT_TRUE(fillAt(1.3, 3) && fillAt(1.3, 50) && fillAt(1.3, 96));
    EXPECT_FALSE(fillAt(-0.2, 3) || fillAt(-0.2, 50));
    EXPECT_FALSE(fillAt(std::nan(""), 3) || fillAt(std::nan(""), 50));
    EXPECT_TRUE(fillAt(0.5, 47));
    EXPECT_FALSE(fillAt(0.5, 52));
    EXPECT_EQ(ProgressBar::filledWidth(100, std::numeric_limits<double>::infinity()), 100);
}

namespace {

QStringList titles(const QMenu* menu)
{
    QStringList result;
    for (const QAction* action : menu->actions()) {
        if (action->isSeparator()) result << QStringLiteral("---");
        else if (action->isVisible()) result << action->text() + (action->isEnabled() ? "" : " (off)");
    }
    return result;
}

}  // namespace

TEST(MenuHeader, FollowsTheModelAndTheSettingsOncePerTurn)
{
    FakePermissions permissions;
    AppModel model(permissions);
    model.setAccessibilityGranted(true);
    model.setModel(ModelState::ready);
    MenuHeaderView header(model);
    EXPECT_EQ(header.width(), 300);

    // Three changes, one update on the next turn, with the values of the last.
    model.setModel(ModelState::downloading(0.25));
    model.setModel(ModelState::ready);
    model.setLastInsert(LastInsert{3, QStringLiteral("Mail")});
    platform::UserDefaults::standard().set(QString::fromLatin1(Settings::cleanupEnabledKey), true);
    EXPECT_FALSE(header.status().last.has_value());
    settle();
    EXPECT_EQ(header.status().last, QStringLiteral("Zuletzt: 3 Wörter in Mail eingefügt"));
    EXPECT_TRUE(header.status().detail.endsWith(QStringLiteral("mit KI-Aufbereitung")));
    platform::UserDefaults::standard().removeObject(QString::fromLatin1(Settings::cleanupEnabledKey));
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
    settle();
    EXPECT_EQ(refreshes.count(), 1);
    EXPECT_EQ(controller->toggleItem()->text(), QStringLiteral("Diktat beenden"));
    EXPECT_EQ(controller->toggleItem()->shortcut(), QKeySequence(Qt::ControlModifier | Qt::Key_F5));
    EXPECT_TRUE(controller->cancelItem()->isEnabled());
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
    f.model.setModel(ModelState::downloading(0.5));
    settle();
    f.model.setModel(ModelState::downloading(0.501));
    settle();
    EXPECT_EQ(f.tray->iconUpdates, iconsBefore + 2);
    f.model.setModel(ModelState::downloading(0.51));
    settle();
    EXPECT_EQ(f.tray->iconUpdates, iconsBefore + 3);

    f.model.setPhase(DictationPhase::processing);
    settle();
    EXPECT_FALSE(controller->toggleItem()->isEnabled());
    EXPECT_FALSE(controller->cancelItem()->isEnabled());
    EXPECT_EQ(f.tray->toolTip, QStringLiteral("KORVU Darivir"));
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
    EXPECT_EQ(titles(controller->menu()),
              QStringList({"", "---", "Bedienungshilfen erlauben …", "Diktat starten (off)", "Aufnahme abbrechen\tEsc (off)",
                           "---", "Letzte Diktate", "Einstellungen …", "Nach Updates suchen …", "---",
                           "KORVU Darivir beenden"}));
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
    const QStringList recent = titles(controller->historyMenu());
    EXPECT_EQ(recent, QStringList({"Diktat 7", "Diktat 6", "Diktat 5", "Diktat 4", "Diktat 3", "---",
                                   "Ganzen Verlauf zeigen …"}));
    const QAction* newest = controller->historyMenu()->actions().front();
    EXPECT_TRUE(newest->toolTip().contains(QStringLiteral("Mail – klicken zum Kopieren")));

    // The open menu makes room when the header grows.
    const QAction* headerItem = controller->menu()->actions().front();
    const int headerHeight = controller->menu()->actionGeometry(const_cast<QAction*>(headerItem)).height();
    f.model.setLastInsert(LastInsert{40, QStringLiteral("Ein Programm mit einem sehr langen Namen, der umbrechen muss")});
    settle();
    EXPECT_GT(controller->header()->height(), headerHeight);
    EXPECT_EQ(controller->menu()->actionGeometry(const_cast<QAction*>(headerItem)).height(), controller->header()->height());

    controller->historyMenu()->actions().front()->trigger();
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("Diktat 7"));
    // The open menu takes its shortcuts.
    QTest::keyClick(controller->menu(), Qt::Key_Comma, Qt::ControlModifier);
    EXPECT_EQ(f.settingsOpened, 1);
    controller->menu()->hide();

    // The failed model offers a retry; "Ganzen Verlauf zeigen …" opens the history tab.
    f.model.setModel(ModelState::failed(QStringLiteral("x")));
    settle();
    EXPECT_TRUE(controller->retryItem()->isVisible());
    controller->historyMenu()->actions().back()->trigger();
    EXPECT_EQ(platform::UserDefaults::standard().string(QString::fromLatin1(Settings::settingsTabKey)),
              QStringLiteral("history"));
    EXPECT_EQ(f.settingsOpened, 2);
    f.model.setPhase(DictationPhase::recording);
    settle();
    controller->cancelItem()->trigger();
    EXPECT_EQ(f.cancels, 1);
}
