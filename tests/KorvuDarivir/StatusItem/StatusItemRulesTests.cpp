// The status menu's and the header's rules as tables.
#include "KorvuDarivir/UI/HeaderStatus.h"
#include "KorvuDarivir/UI/StatusMenuState.h"

#include "StatusItemTestSupport.h"

#include <QTextDocument>

#include <gtest/gtest.h>

#include <cmath>

using namespace korvu;

namespace {

const ModelState failed = ModelState::failed(QStringLiteral("kaputt"));
const ModelState downloading = ModelState::downloading(0.5);
const ModelState firstPrepare = ModelState::preparing(true);

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
        EXPECT_EQ(state.toggleTitle, row.phase == Phase::recording ? QStringLiteral("Diktat beenden")
                                                                   : QStringLiteral("Diktat starten"));
        EXPECT_EQ(std::tuple(state.toggleEnabled, state.cancelEnabled, state.accessibilityVisible, state.retryVisible),
                  std::tuple(row.toggleEnabled, row.cancelEnabled, row.accessibilityVisible, row.retryVisible));
        const StatusIconChoice icon = StatusMenuState::iconFor(row.phase, row.model, row.granted);
        EXPECT_EQ(icon.kind, row.icon);
        if (row.icon == Icon::ring) { EXPECT_DOUBLE_EQ(icon.progress, row.ring); }
    }
    EXPECT_EQ(StatusMenuState::trayToolTip(Phase::recording, QStringLiteral("0:07")),
              QStringLiteral("KORVU Darivir · Aufnahme 0:07"));
    EXPECT_EQ(StatusMenuState::trayToolTip(Phase::processing, QStringLiteral("0:07")), QStringLiteral("KORVU Darivir"));
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

TEST(StatusItem, KeyEquivalentsOfShortcuts)
{
    constexpr std::uint32_t ctrlAlt = Hotkey::controlKey | Hotkey::optionKey;
    const std::pair<Hotkey, QKeySequence> rows[] = {
        {{13, ctrlAlt}, QKeySequence(Qt::ControlModifier | Qt::AltModifier | Qt::Key_W)},  // the letter on the layout
        {{80, Hotkey::shiftKey | Hotkey::cmdKey}, QKeySequence(Qt::ShiftModifier | Qt::MetaModifier | Qt::Key_F19)},
        {{49, ctrlAlt}, QKeySequence(Qt::ControlModifier | Qt::AltModifier | Qt::Key_Space)},
        // No name of one character and no named key ("Taste 53", Escape): no shortcut.
        {{53, ctrlAlt}, QKeySequence()},
        {{0xFFFF, ctrlAlt}, QKeySequence()},
    };
    for (const auto& [hotkey, expected] : rows) {
        EXPECT_EQ(StatusMenuState::keyEquivalent(hotkey), expected) << hotkey.keyCode;
    }
}

TEST(HeaderStatus, RowsFirstMatchWins)
{
    using Dot = HeaderStatus::Dot;
    using Phase = DictationPhase;
    const LastInsert twelve{12, QStringLiteral("Mail")};
    // Every row has an insert to show; only the ready row shows it.
    auto status = [&](Phase phase, ModelState model, bool granted, bool cleanup = false) {
        return HeaderStatus::from({phase, model, granted, {49, Hotkey::controlKey | Hotkey::optionKey}, twelve,
                                   QStringLiteral("0:07"), QStringLiteral("Deutsch"), cleanup});
    };
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
    };
    for (const auto& [actual, expected] : rows) {
        EXPECT_EQ(actual, expected) << expected.title.toStdString() << " shown as " << actual.title.toStdString();
    }
    EXPECT_EQ(HeaderStatus::lastInsertLine({1, "Notizen"}), QStringLiteral("Zuletzt: 1 Wort in Notizen eingefügt"));
    // A progress that is no number keeps the detail readable.
    EXPECT_EQ(status(Phase::idle, ModelState::downloading(std::nan("")), true).detail, QStringLiteral("0 von 630 MB · 0 %"));
}
