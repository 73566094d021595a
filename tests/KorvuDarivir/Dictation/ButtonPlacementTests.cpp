#include "Rig.h"

#include "KorvuDarivir/Dictation/ButtonPlacement.h"

#include <gtest/gtest.h>

namespace dictationtest {
namespace {

using korvu::ButtonPlacement;
using korvu::DictationPhase;
using korvu::FocusedField;

TEST(ButtonPlacement, BesideOneLineAndTallerFields)
{
    struct Case {
        QRectF field;  // y upward: y() is the bottom edge
        QPointF origin;
    };
    const std::vector<Case> cases = {
        // Up to 44 points high: centred vertically, right edge 6 inside the field's.
        {{100, 200, 300, 44}, {100 + 300 - 6 - 26, 200 + 22 - 13}},
        {{100, 200, 300, 20}, {368, 197}},
        // Taller: 8 inside the right and the bottom edge.
        {{100, 200, 300, 44.5}, {100 + 300 - 8 - 26, 208}},
        {{0, 0, 500, 400}, {466, 8}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ButtonPlacement::besideField(c.field), c.origin) << c.field.height();
    }
    EXPECT_EQ(ButtonPlacement::atMouse({500, 300}), QPointF(512, 262));
    EXPECT_EQ(ButtonPlacement::face({10, 20, 38, 38}), QRectF(16, 26, 26, 26));
    EXPECT_EQ(ButtonPlacement::offsetSavedDetail(QStringLiteral("Kate")), QStringLiteral("Gilt für Kate."));
    EXPECT_EQ(ButtonPlacement::offsetSavedDetail(std::nullopt), QStringLiteral("Gilt für diese App."));
    EXPECT_EQ(ButtonPlacement::offsetSavedDetail(QString()), QStringLiteral("Gilt für diese App."));
}

// When the button shows and where it goes, through the controller.
TEST(ButtonPlacement, ShownOnlyWhereItBelongs)
{
    const QRectF fieldFrame(100, 200, 300, 30);
    const QPointF beside = ButtonPlacement::besideField(fieldFrame);
    struct Case {
        const char* name;
        std::function<void(Rig&)> prepare;
        bool field;
        bool record;
        bool visible;
        std::optional<QPointF> origin;  // the button face's corner when visible
    };
    const std::vector<Case> cases = {
        {"idle beside the field", [](Rig&) {}, true, false, true, beside},
        {"idle without a field: hidden", [](Rig&) {}, false, false, false, std::nullopt},
        {"idle without trust: hidden", [](Rig& rig) { rig.model.setAccessibilityGranted(false); }, true, false, false,
         std::nullopt},
        {"recording without a field: at the mouse", [](Rig&) {}, false, true, true, QPointF(512, 262)},
        {"switched off: hidden even while recording",
         [](Rig&) { setDefault(korvu::Settings::showFloatingButtonKey, false); }, true, true, false, std::nullopt},
        {"the onboarding sink: hidden even while recording",
         [](Rig& rig) { rig.model.setInternalSink([](const QString&) {}); }, true, true, false, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.screens.cursor = QPointF(500, 300);
        rig.start();
        rig.ready();
        c.prepare(rig);
        if (c.field) {
            rig.controller->focusChanged(FocusedField{100, fieldFrame});
        }
        if (c.record) {
            rig.press();
            ASSERT_EQ(rig.phase(), DictationPhase::recording);
        }
        EXPECT_EQ(rig.panel->visible, c.visible);
        if (c.visible) {
            EXPECT_EQ(rig.panel->faceOrigin(), *c.origin);
            EXPECT_EQ(rig.panel->origin, c.field ? std::optional<QPointF>(beside) : std::nullopt);
        }
    }
}

TEST(ButtonPlacement, StaysPutWhileItShowsADictation)
{
    Rig rig;
    rig.start();
    rig.ready();
    rig.controller->focusChanged(FocusedField{100, QRectF(100, 200, 300, 30)});
    const QPointF first = rig.panel->faceOrigin();
    rig.press();
    rig.controller->focusChanged(FocusedField{100, QRectF(600, 500, 300, 30)});
    EXPECT_EQ(rig.panel->faceOrigin(), first);
    rig.controller->focusChanged(std::nullopt);
    EXPECT_TRUE(rig.panel->visible);
    // After the flash the idle rules apply again: no field, no button.
    rig.recorder->samples.assign(100, 0.1f);
    rig.press();
    EXPECT_EQ(rig.phase(), DictationPhase::idle);
    EXPECT_FALSE(rig.panel->visible);
}

// A dragged position is kept per application while the button is movable, and only then
// applied; a drag without a field or at the mouse stores nothing.
TEST(ButtonPlacement, OffsetsPerApplication)
{
    Rig rig;
    rig.applications.add(100, "org.kde.kate", "Kate");
    rig.applications.add(200, "firefox", "");
    setDefault(korvu::Settings::movableButtonKey, true);
    rig.start();
    rig.ready();
    const QRectF field(100, 200, 300, 30);
    rig.controller->focusChanged(FocusedField{100, field});
    EXPECT_TRUE(rig.panel->callbacks.isDraggable());

    // The user drags the button 20 right and 15 up.
    rig.panel->place(rig.panel->faceOrigin() + QPointF(20, 15));
    rig.panel->callbacks.onDragEnded();
    EXPECT_EQ(korvu::Settings::buttonOffset(QStringLiteral("org.kde.kate")), (korvu::ButtonOffset{20, 15}));
    ASSERT_EQ(rig.hints->shown.size(), 1u);
    EXPECT_EQ(rig.hints->last(), (Hint{HintKind::info, "Position gemerkt", QStringLiteral("Gilt für Kate.")}));
    EXPECT_EQ(rig.hints->anchors.back(), ButtonPlacement::face(rig.panel->frame()));

    // Another field of the same application gets the offset; another application not.
    const QRectF other(300, 100, 200, 30);
    rig.controller->focusChanged(FocusedField{100, other});
    EXPECT_EQ(rig.panel->faceOrigin(), ButtonPlacement::besideField(other) + QPointF(20, 15));
    rig.controller->focusChanged(FocusedField{200, other});
    EXPECT_EQ(rig.panel->faceOrigin(), ButtonPlacement::besideField(other));
    rig.panel->place(rig.panel->faceOrigin() + QPointF(-5, 0));
    rig.panel->callbacks.onDragEnded();
    EXPECT_EQ(rig.hints->last()->detail, QStringLiteral("Gilt für diese App."));

    // Not movable: offsets ignored but kept.
    setDefault(korvu::Settings::movableButtonKey, false);
    rig.controller->focusChanged(FocusedField{100, other});
    EXPECT_EQ(rig.panel->faceOrigin(), ButtonPlacement::besideField(other));
    EXPECT_FALSE(rig.panel->callbacks.isDraggable());
    setDefault(korvu::Settings::movableButtonKey, true);
    rig.controller->updatePanel();
    EXPECT_EQ(rig.panel->faceOrigin(), ButtonPlacement::besideField(other) + QPointF(20, 15));

    // A drag while no field has focus stores nothing.
    rig.controller->focusChanged(std::nullopt);
    const std::size_t hints = rig.hints->shown.size();
    rig.panel->callbacks.onDragEnded();
    EXPECT_EQ(rig.hints->shown.size(), hints);
    EXPECT_EQ(korvu::Settings::buttonOffset(QStringLiteral("org.kde.kate")), (korvu::ButtonOffset{20, 15}));
}

TEST(ButtonPlacement, TooltipAfterResting)
{
    Rig rig;
    rig.start();
    rig.ready();
    rig.controller->focusChanged(FocusedField{100, QRectF(100, 200, 300, 30)});
    const QString text = QStringLiteral("Klicken zum Diktieren · ⌃⌥ Leertaste");

    rig.panel->callbacks.onHoverChange(true);
    rig.scheduler.advance(std::chrono::milliseconds(799));
    rig.panel->callbacks.onHoverChange(false);  // left too early
    rig.scheduler.advance(std::chrono::milliseconds(2000));
    EXPECT_TRUE(rig.hints->tooltips.empty());
    EXPECT_EQ(rig.hints->hides, 0);

    rig.panel->callbacks.onHoverChange(true);
    rig.scheduler.advance(std::chrono::milliseconds(800));
    EXPECT_EQ(rig.hints->tooltips, std::vector<QString>{text});
    EXPECT_TRUE(rig.controller->tooltipShown());
    rig.panel->callbacks.onHoverChange(false);
    EXPECT_EQ(rig.hints->hides, 1);
    EXPECT_FALSE(rig.controller->tooltipShown());

    // A hint that replaces the tooltip clears the flag: leaving does not hide the hint.
    rig.panel->callbacks.onHoverChange(true);
    rig.scheduler.advance(std::chrono::milliseconds(800));
    rig.permissions.trusted = false;
    rig.click();  // "Bedienungshilfen fehlen"
    const int hidesBefore = rig.hints->hides;
    rig.panel->callbacks.onHoverChange(false);
    EXPECT_EQ(rig.hints->hides, hidesBefore);

    // No tooltip while recording, and a recording hides one that shows.
    rig.permissions.trusted = true;
    rig.panel->callbacks.onHoverChange(true);
    rig.scheduler.advance(std::chrono::milliseconds(800));
    ASSERT_TRUE(rig.controller->tooltipShown());
    rig.click();
    ASSERT_EQ(rig.phase(), DictationPhase::recording);
    const std::size_t tooltips = rig.hints->tooltips.size();
    rig.panel->callbacks.onHoverChange(false);
    rig.panel->callbacks.onHoverChange(true);
    rig.scheduler.advance(std::chrono::milliseconds(2000));
    EXPECT_EQ(rig.hints->tooltips.size(), tooltips);

    // A hidden button shows no tooltip.
    rig.controller->cancelRecording();
    rig.controller->focusChanged(std::nullopt);
    rig.panel->callbacks.onHoverChange(true);
    rig.scheduler.advance(std::chrono::milliseconds(2000));
    EXPECT_EQ(rig.hints->tooltips.size(), tooltips);
}

}  // namespace
}  // namespace dictationtest
