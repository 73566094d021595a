#include "Rig.h"

#include "KorvuDarivir/Dictation/ButtonPlacement.h"

namespace dictationtest {
namespace {

using ButtonPlacementRig = WithRig;

using korvu::ButtonPlacement;

TEST(ButtonPlacement, BesideOneLineAndTallerFields)
{
    // y upward: a frame's y() is its bottom edge. Up to 44 points high the face is centred
    // vertically, its right edge 6 inside the field's; taller: 8 inside right and bottom.
    const std::pair<QRectF, QPointF> cases[] = {
        {{100, 200, 300, 44}, {368, 209}},
        {{100, 200, 300, 20}, {368, 197}},
        {{100, 200, 300, 44.5}, {366, 208}},
        {{0, 0, 500, 400}, {466, 8}},
    };
    for (const auto& [field, origin] : cases) {
        EXPECT_EQ(ButtonPlacement::besideField(field), origin) << field.height();
    }
}

// When the button shows and where it goes, through the controller; while it shows a
// dictation it stays put whatever the focus does, and once that ends the idle rules apply.
TEST(ButtonPlacement, ShownOnlyWhereItBelongs)
{
    const QRectF field(100, 200, 300, 30);
    const QPointF beside = ButtonPlacement::besideField(field);
    struct Case {
        const char* name;
        std::function<void(Rig&)> prepare;
        bool focused;
        bool record;
        std::optional<QPointF> face;  // none: hidden
    };
    const auto nothing = [](Rig&) {};
    const Case cases[] = {
        {"idle beside the field", nothing, true, false, beside},
        {"idle without a field: hidden", nothing, false, false, {}},
        {"idle without trust: hidden", [](Rig& rig) { rig.model.setAccessibilityGranted(false); }, true, false, {}},
        {"recording without a field: at the mouse", nothing, false, true, QPointF(512, 262)},
        {"recording: stays beside the field", nothing, true, true, beside},
        {"switched off: hidden even while recording",
         [](Rig& rig) { rig.settings.showButton = false; }, true, true, {}},
        {"the onboarding sink: hidden even while recording",
         [](Rig& rig) { rig.model.setInternalSink([](const QString&) {}); }, true, true, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.screens.cursor = QPointF(500, 300);
        rig.start();
        c.prepare(rig);
        if (c.focused) rig.focus(100, field);
        if (c.record) {
            rig.press();
            rig.focus(100, QRectF(600, 500, 300, 30));
            rig.controller->focusChanged(std::nullopt);
        }
        EXPECT_EQ(rig.panel->visible, c.face.has_value());
        if (c.face) {
            EXPECT_EQ(rig.panel->faceOrigin(), *c.face);
            EXPECT_EQ(rig.panel->origin, c.focused ? std::optional<QPointF>(beside) : std::nullopt);
        }
        if (c.record) {
            rig.recorder->samples.assign(100, 0.1f);
            rig.press();
            EXPECT_FALSE(rig.panel->visible) << "no field after the dictation, no button";
        }
    }
}

// A dragged position is kept per application while the button is movable, and only then
// applied; a drag without a field stores nothing.
TEST_F(ButtonPlacementRig, DraggedOffsetsArePerApplication)
{
    applications.add(100, "org.kde.kate", "Kate");
    applications.add(200, "firefox", "");
    settings.movable = true;
    start();
    focus(100, QRectF(100, 200, 300, 30));
    EXPECT_TRUE(panel->callbacks.isDraggable());
    const auto drag = [&](QPointF by) {
        panel->place(panel->faceOrigin() + by);
        panel->callbacks.onDragEnded();
    };
    drag({20, 15});
    EXPECT_EQ(settings.buttonOffset(QStringLiteral("org.kde.kate")), (korvu::ButtonOffset{20, 15}));
    EXPECT_EQ(hints->shown, std::vector<Hint>({{HintKind::info, "Position gemerkt", "Gilt für Kate."}}));
    EXPECT_EQ(hints->anchors.back(), ButtonPlacement::face(panel->frame()));

    const QRectF other(300, 100, 200, 30);
    const QPointF beside = ButtonPlacement::besideField(other);
    focus(100, other);
    EXPECT_EQ(panel->faceOrigin(), beside + QPointF(20, 15));
    focus(200, other);
    EXPECT_EQ(panel->faceOrigin(), beside);
    drag({-5, 0});
    EXPECT_EQ(hints->shown.back().detail, QStringLiteral("Gilt für diese App."));

    settings.movable = false;  // offsets ignored, but kept
    focus(100, other);
    EXPECT_EQ(panel->faceOrigin(), beside);
    EXPECT_FALSE(panel->callbacks.isDraggable());
    settings.movable = true;
    controller->updatePanel();
    EXPECT_EQ(panel->faceOrigin(), beside + QPointF(20, 15));

    controller->focusChanged(std::nullopt);
    const std::size_t shown = hints->shown.size();
    panel->callbacks.onDragEnded();
    EXPECT_EQ(hints->shown.size(), shown);
    EXPECT_EQ(settings.buttonOffset(QStringLiteral("org.kde.kate")), (korvu::ButtonOffset{20, 15}));
}

TEST_F(ButtonPlacementRig, TooltipAfterResting)
{
    start();
    focus(100, QRectF(100, 200, 300, 30));
    const auto hover = [&](bool on, std::chrono::milliseconds rest = 0ms) {
        panel->callbacks.onHoverChange(on);
        scheduler.advance(rest);
    };
    hover(true, 799ms);
    hover(false, 2000ms);  // left too early
    EXPECT_TRUE(hints->tooltips.empty());
    EXPECT_EQ(hints->hides, 0);

    hover(true, 800ms);
    EXPECT_EQ(hints->tooltips, std::vector<QString>{QStringLiteral("Klicken zum Diktieren · Strg+Alt+Leertaste")});
    hover(false);
    EXPECT_EQ(hints->hides, 1);
    EXPECT_FALSE(controller->tooltipShown());

    // A hint that replaces the tooltip is not hidden by leaving.
    hover(true, 800ms);
    permissions.trusted = false;
    click();
    const int hides = hints->hides;
    hover(false);
    EXPECT_EQ(hints->hides, hides);

    // No tooltip while recording.
    permissions.trusted = true;
    hover(true, 800ms);
    ASSERT_TRUE(controller->tooltipShown());
    click();
    ASSERT_EQ(phase(), DictationPhase::recording);
    const std::size_t tooltips = hints->tooltips.size();
    hover(false);
    hover(true, 2000ms);
    EXPECT_EQ(hints->tooltips.size(), tooltips);
}

}  // namespace
}  // namespace dictationtest
