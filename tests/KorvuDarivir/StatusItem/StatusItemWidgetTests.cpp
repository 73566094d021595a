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
#include <QMenu>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <cmath>

using namespace korvu;

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
    for (const double progress : {0.5, 0.501, 0.51}) {
        f.model.setModel(ModelState::downloading(progress));
        settle();
    }
    EXPECT_EQ(f.tray->iconUpdates, iconsBefore + 3);

    f.model.setPhase(DictationPhase::processing);
    settle();
    EXPECT_FALSE(controller->toggleItem()->isEnabled() || controller->cancelItem()->isEnabled());
    EXPECT_EQ(f.tray->toolTip, QStringLiteral("KORVU Darivir"));
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
