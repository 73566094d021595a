#include "KorvuDarivir/UI/HintPanel.h"
#include "KorvuDarivir/UI/HintPill.h"
#include "Platform/UI/FakeScheduler.h"
#include "Platform/UI/FakeScreenProvider.h"

#include <QImage>

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <vector>

using korvu::Hint;
using korvu::HintKind;
using korvu::HintPanel;
using platform::FakeScheduler;
using platform::FakeScreenProvider;
using namespace std::chrono_literals;

namespace {

constexpr qreal pad = HintPanel::pad;

// y-up: the primary screen with a 25-point panel at the top, and a second screen to its
// right with a 40-point dock at the bottom.
const platform::ScreenInfo kPrimary = FakeScreenProvider::screen({0, 0, 1440, 900}, 25, 0);
const platform::ScreenInfo kSecond = FakeScreenProvider::screen({1440, 100, 1280, 800}, 0, 40);

const Hint kShort{HintKind::info, "Kurz", std::nullopt};
const Hint kTwoLines{HintKind::warning, "Kein Text erkannt", QString("Sprich etwas lauter")};

// What the visible pill or label (the panel less its margin) must satisfy; unset edges are
// not checked.
struct Expect {
    std::optional<qreal> left, right, bottom, top, middleY;
};

struct PlacementCase {
    const char* name;
    std::vector<platform::ScreenInfo> screens;
    QPointF cursor;
    std::optional<QRectF> anchor;  // none: at the pointer
    bool tooltip;
    QString title;
    Expect expect;
};

QRectF visibleOf(const HintPanel& panel) { return panel.frame().adjusted(pad, pad, -pad, -pad); }

}  // namespace

TEST(HintPanelPlacement, PillsAndTooltipsStandBesideTheAnchorInsideTheVisibleFrame)
{
    const QRectF button(700, 400, 26, 26);
    const QString wide(400, 'W');
    // The visible pill of "Kurz" is this wide; left of an anchor it needs 8 more points.
    const qreal w = std::ceil(korvu::HintPill::pillSize(kShort).width());
    const std::vector<PlacementCase> cases{
        {"left of the anchor, centred on it", {kPrimary, kSecond}, {}, button, false, "Kurz",
         {.right = 692, .middleY = 413}},
        {"exactly enough room on the left stays left", {kPrimary}, {}, QRectF(w + 8, 400, 26, 26), false, "Kurz",
         {.left = 0}},
        {"one point less flips to the right", {kPrimary}, {}, QRectF(w + 7, 400, 26, 26), false, "Kurz",
         {.left = w + 7 + 26 + 8}},
        {"no anchor: 16 left of the pointer, centred on it", {kPrimary}, {600, 300}, std::nullopt, false, "Kurz",
         {.right = 584, .middleY = 300}},
        {"no anchor near the left edge: 16 right of the pointer", {kPrimary}, {10, 300}, std::nullopt, false, "Kurz",
         {.left = 26, .middleY = 300}},
        {"second screen bottom: kept above the dock", {kPrimary, kSecond}, {}, QRectF(2000, 100, 26, 26), false,
         "Kurz", {.bottom = 140}},
        {"anchor on no screen: the primary's visible frame", {kPrimary, kSecond}, {}, QRectF(5000, 5000, 26, 26), false,
         "Kurz", {.right = 1440, .top = 875}},
        {"no screen at all: the anchor bounds it, upper limits win", {}, {}, QRectF(100, 100, 26, 26), false, "Kurz",
         {.right = 126, .top = 126}},
        {"a title wider than the screen ends on its right edge", {kPrimary}, {}, button, false, wide, {.right = 1440}},
        {"tooltip: right edge 6 past the anchor, top 4 below it", {kPrimary}, {}, button, true, "Klicken zum Diktieren",
         {.right = 732, .top = 396}},
        {"tooltip at the bottom edge is lifted onto the frame", {kPrimary}, {}, QRectF(700, 2, 26, 26), true,
         "Klicken zum Diktieren", {.right = 732, .bottom = 0}},
    };
    for (const PlacementCase& row : cases) {
        SCOPED_TRACE(row.name);
        FakeScreenProvider screens(row.screens, row.cursor);
        FakeScheduler clock;
        HintPanel panel(screens, clock);
        row.tooltip ? panel.showTooltip(row.title, *row.anchor) : panel.show({HintKind::info, row.title, std::nullopt}, row.anchor);
        ASSERT_TRUE(panel.isVisible());
        const QRectF visible = visibleOf(panel);
        if (row.title == wide) { EXPECT_GT(visible.width(), 1440); }  // one line, never wrapped
        const auto check = [](const char* edge, std::optional<qreal> want, qreal got, qreal tolerance = 1e-9) {
            if (want) { EXPECT_NEAR(got, *want, tolerance) << edge; }
        };
        check("left", row.expect.left, visible.left());
        check("right", row.expect.right, visible.left() + visible.width());
        check("bottom", row.expect.bottom, visible.top());
        check("top", row.expect.top, visible.top() + visible.height());
        check("middle", row.expect.middleY, visible.center().y(), 0.5);
    }
}

TEST(HintPanelTimers, TheNewestShowDecidesWhenThePanelHides)
{
    FakeScreenProvider screens({kPrimary}, {600, 300});
    FakeScheduler clock;
    HintPanel panel(screens, clock);
    int beeps = 0;
    panel.setBeep([&] { ++beeps; });
    const QRectF anchor(700, 400, 26, 26);

    // A second hint 1 s after the first: its own size, and 3 s from the second call.
    panel.show(kShort, anchor);
    const QSizeF shortSize = panel.frame().size();
    clock.advance(1s);
    panel.show(kTwoLines, std::nullopt);
    EXPECT_GT(panel.frame().width(), shortSize.width());
    EXPECT_GT(panel.frame().height(), shortSize.height());
    clock.advance(2900ms);
    EXPECT_TRUE(panel.isVisible());
    clock.advance(200ms);
    EXPECT_FALSE(panel.isVisible());

    // A tooltip replaced by a hint hides 3 s after the hint; a hint replaced by a tooltip
    // 5 s after the tooltip.
    panel.showTooltip("Klicken zum Diktieren", anchor);
    clock.advance(1s);
    panel.show(kShort, anchor);
    clock.advance(3100ms);
    EXPECT_FALSE(panel.isVisible());
    panel.show(kShort, anchor);
    clock.advance(1s);
    panel.showTooltip("Klicken zum Diktieren", anchor);
    clock.advance(4900ms);
    EXPECT_TRUE(panel.isVisible());
    clock.advance(200ms);
    EXPECT_FALSE(panel.isVisible());

    // hide() acts at once, and no timer acts later.
    panel.show(kShort, anchor);
    panel.hide();
    EXPECT_FALSE(panel.isVisible());
    EXPECT_EQ(clock.pendingCount(), 0);

    // Only error hints make a sound, one per show.
    EXPECT_EQ(beeps, 0);
    panel.show({HintKind::error, "Fehler", std::nullopt}, anchor);
    panel.show({HintKind::error, "Fehler", std::nullopt}, anchor);
    panel.show({HintKind::warning, "Achtung", std::nullopt}, anchor);
    EXPECT_EQ(beeps, 2);
}

TEST(HintPanelPill, PaintsTheKindsColoursOnTheHudWithAShadowBelow)
{
    const QColor red(0xEE, 0x3F, 0x23);
    const QColor purple(0x75, 0x67, 0xA1);
    // The icon's colour at its left edge and inside it, left of the glyph.
    const std::tuple<HintKind, QColor, QColor> rows[] = {
        {HintKind::info, purple, purple}, {HintKind::warning, red, Qt::white}, {HintKind::error, red, red}};
    for (const auto& [kind, edge, inside] : rows) {
        SCOPED_TRACE(static_cast<int>(kind));
        korvu::HintPill pill({kind, "Kein Text erkannt", std::nullopt});
        pill.setContentsMargins(14, 14, 14, 14);
        pill.resize(pill.sizeHint());
        QImage image(pill.size(), QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        pill.render(&image, {}, {}, QWidget::DrawChildren);
        const auto near = [](QColor a, QColor b, int tolerance = 3) {
            return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
                   std::abs(a.blue() - b.blue()) <= tolerance;
        };
        // The icon: 20 x 20 at 8 from the pill's left edge, centred vertically.
        const int middle = pill.height() / 2;
        EXPECT_TRUE(near(image.pixelColor(14 + 8, middle), edge, 16));  // edge smoothing
        EXPECT_TRUE(near(image.pixelColor(14 + 8 + 4, middle), inside));
        // The capsule's right part is the light hud colour; the shadow falls below it.
        EXPECT_TRUE(near(image.pixelColor(pill.width() - 14 - 10, middle), Qt::white));
        EXPECT_GT(image.pixelColor(pill.width() / 2, pill.height() - 8).alpha(),
                  image.pixelColor(pill.width() / 2, 8).alpha());
    }
    // Any detail, even an empty one, adds a second line.
    EXPECT_GT(korvu::HintPill::pillSize({HintKind::info, "Kurz", QString()}).height(),
              korvu::HintPill::pillSize(kShort).height());
}
