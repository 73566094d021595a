// The floating windows without a display server: the hint panel and the microphone button
// over fake screens and a fake clock.
#include "KorvuDarivir/UI/HintPanel.h"
#include "KorvuDarivir/UI/HintPill.h"
#include "KorvuDarivir/UI/MicButtonPanel.h"
#include "fakes/FakeScheduler.h"
#include "fakes/FakeScreenProvider.h"
#include "Platform/UI/ScreenCoordinates.h"

#include <QImage>
#include <QMouseEvent>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <optional>
#include <vector>

using namespace korvu;
using fakes::FakeScheduler;
using fakes::FakeScreenProvider;
using namespace std::chrono_literals;

namespace {

// y-up: the primary screen with a 25-point panel at the top, and a second screen to its
// right with a 40-point dock at the bottom.
const platform::ScreenInfo kPrimary = FakeScreenProvider::screen({0, 0, 1440, 900}, 25, 0);
const platform::ScreenInfo kSecond = FakeScreenProvider::screen({1440, 100, 1280, 800}, 0, 40);
const platform::ScreenInfo kSliver = FakeScreenProvider::screen({-20, 0, 20, 900});

const Hint kShort{HintKind::info, "Kurz", std::nullopt};
const Hint kTwoLines{HintKind::warning, "Kein Text erkannt", QString("Sprich etwas lauter")};

// Where the visible pill or label (the panel less its margin) must end; unset edges are
// not checked.
struct Expect {
    std::optional<qreal> left, right, bottom, top, middleY;
};

QRectF visibleOf(const HintPanel& panel)
{
    return panel.frame().adjusted(HintPanel::pad, HintPanel::pad, -HintPanel::pad, -HintPanel::pad);
}

void send(QWidget* widget, QEvent::Type type, QPointF local, Qt::MouseButtons buttons)
{
    const QPointF global = QPointF(widget->mapToGlobal(QPoint(0, 0))) + local;
    QMouseEvent event(type, local, global, Qt::LeftButton, buttons, Qt::NoModifier);
    // Straight to the widget: the application's dispatch rounds positions to whole pixels,
    // and the threshold is tested with fractions.
    static_cast<QObject*>(widget)->event(&event);
}

// A button panel over fake screens and a fake clock.
struct Panel {
    explicit Panel(std::vector<platform::ScreenInfo> list = {kPrimary}) : screens(std::move(list)) {}
    FakeScreenProvider screens;
    FakeScheduler clock;
    MicButtonPanel panel{screens, clock};
    MicButtonView* view = panel.button();
};

}  // namespace

TEST(HintPanelPlacement, PillsAndTooltipsStandBesideTheAnchorInsideTheVisibleFrame)
{
    const std::vector<platform::ScreenInfo> one{kPrimary}, both{kPrimary, kSecond};
    const auto at = [](qreal x, qreal y) { return QRectF(x, y, 26, 26); };
    const QRectF button = at(700, 400);
    const QString wide(400, 'W'), tip = "Klicken zum Diktieren";
    // The visible pill of "Kurz" is this wide; left of an anchor it needs 8 more points.
    const qreal w = std::ceil(HintPill::pillSize(kShort).width());
    // The screens, the pointer, the anchor (none: at the pointer), tooltip or pill, title.
    const std::tuple<const char*, std::vector<platform::ScreenInfo>, QPointF, std::optional<QRectF>, bool, QString, Expect> cases[] = {
        {"left of the anchor, centred on it", both, {}, button, false, "Kurz", {.right = 692, .middleY = 413}},
        {"just enough room on the left", one, {}, at(w + 8, 400), false, "Kurz", {.left = 0}},
        {"a point less flips to the right", one, {}, at(w + 7, 400), false, "Kurz", {.left = w + 7 + 26 + 8}},
        {"no anchor: 16 left of the pointer", one, {600, 300}, {}, false, "Kurz", {.right = 584, .middleY = 300}},
        {"no anchor, left edge: 16 right of it", one, {10, 300}, {}, false, "Kurz", {.left = 26, .middleY = 300}},
        {"second screen: above its dock", both, {}, at(2000, 100), false, "Kurz", {.bottom = 140}},
        {"anchor on no screen: the primary's frame", both, {}, at(5000, 5000), false, "Kurz", {.right = 1440, .top = 875}},
        {"no screen at all: upper limits win", {}, {}, at(100, 100), false, "Kurz", {.right = 126, .top = 126}},
        {"wider than the screen: ends on its right edge", one, {}, button, false, wide, {.right = 1440}},
        {"tooltip: 6 past the anchor, top 4 below it", one, {}, button, true, tip, {.right = 732, .top = 396}},
        {"tooltip at the bottom edge: lifted onto the frame", one, {}, at(700, 2), true, tip, {.right = 732, .bottom = 0}},
    };
    for (const auto& [name, screenList, cursor, anchor, tooltip, title, expect] : cases) {
        SCOPED_TRACE(name);
        FakeScreenProvider screens(screenList, cursor);
        FakeScheduler clock;
        HintPanel panel(screens, clock);
        tooltip ? panel.showTooltip(title, *anchor) : panel.show({HintKind::info, title, std::nullopt}, anchor);
        ASSERT_TRUE(panel.isVisible());
        const QRectF visible = visibleOf(panel);
        if (title == wide) { EXPECT_GT(visible.width(), 1440); }  // one line, never wrapped
        const auto check = [](const char* edge, std::optional<qreal> want, qreal got, qreal tolerance = 1e-9) {
            if (want) { EXPECT_NEAR(got, *want, tolerance) << edge; }
        };
        check("left", expect.left, visible.left());
        check("right", expect.right, visible.left() + visible.width());
        check("bottom", expect.bottom, visible.top());
        check("top", expect.top, visible.top() + visible.height());
        check("middle", expect.middleY, visible.center().y(), 0.5);
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

    const auto visibleAfter = [&](std::chrono::milliseconds time) {
        clock.advance(time);
        return panel.isVisible();
    };
    // A second hint 1 s after the first: its own size, and 3 s from the second call.
    panel.show(kShort, anchor);
    const QSizeF shortSize = panel.frame().size();
    clock.advance(1s);
    panel.show(kTwoLines, std::nullopt);
    EXPECT_TRUE(panel.frame().width() > shortSize.width() && panel.frame().height() > shortSize.height());
    EXPECT_TRUE(visibleAfter(2900ms));
    EXPECT_FALSE(visibleAfter(200ms));
    // A tooltip replaced by a hint hides 3 s after the hint; a hint replaced by a tooltip
    // 5 s after the tooltip.
    panel.showTooltip("Klicken zum Diktieren", anchor);
    clock.advance(1s);
    panel.show(kShort, anchor);
    EXPECT_FALSE(visibleAfter(3100ms));
    panel.show(kShort, anchor);
    clock.advance(1s);
    panel.showTooltip("Klicken zum Diktieren", anchor);
    EXPECT_TRUE(visibleAfter(4900ms));
    EXPECT_FALSE(visibleAfter(200ms));

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

// The error pill: its red icon 8 from the pill's left edge, the light hud colour on the
// capsule's right part, and the shadow below it.
TEST(HintPanelPill, PaintsOnTheHudWithAShadowBelow)
{
    HintPill pill({HintKind::error, "Kein Text erkannt", std::nullopt});
    pill.setContentsMargins(14, 14, 14, 14);
    pill.resize(pill.sizeHint());
    QImage image(pill.size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    pill.render(&image, {}, {}, QWidget::DrawChildren);
    const int middle = pill.height() / 2;
    EXPECT_EQ(image.pixelColor(14 + 8 + 4, middle).name(), QStringLiteral("#ee3f23"));
    EXPECT_GE(image.pixelColor(pill.width() - 14 - 10, middle).lightness(), 250);
    EXPECT_GT(image.pixelColor(pill.width() / 2, pill.height() - 8).alpha(), image.pixelColor(pill.width() / 2, 8).alpha());
    // Any detail, even an empty one, adds a second line.
    EXPECT_GT(HintPill::pillSize({HintKind::info, "Kurz", QString()}).height(), HintPill::pillSize(kShort).height());
}

TEST(MicButtonPanelPlacement, TheGlyphStaysInsideTheVisibleFrameOfItsScreen)
{
    // The screens, the point asked for and where the glyph's bottom-left corner ends up.
    const std::tuple<const char*, std::vector<platform::ScreenInfo>, QPointF, QPointF> rows[] = {
        {"left of and below the frame: its bottom-left corner", {kPrimary}, {-50, -50}, {0, 0}},
        {"beyond the top right: 26 inside that corner", {kPrimary}, {1439, 899}, {1414, 849}},
        {"on the second screen: above its dock", {kPrimary, kSecond}, {1500, 120}, {1500, 140}},
        {"outside every screen: the primary's frame", {kPrimary, kSecond}, {5000, 5000}, {1414, 849}},
        {"a frame narrower than the glyph: the upper limit wins", {kSliver}, {-10, 400}, {-26, 400}},
        {"no screen at all: unchanged", {}, {5000, -70}, {5000, -70}},
    };
    for (const auto& [name, screens, point, glyph] : rows) {
        Panel p(screens);
        p.panel.place(point);
        EXPECT_TRUE(p.panel.isVisible()) << name;
        EXPECT_EQ(p.panel.frame(), QRectF(glyph - QPointF(6, 6), QSizeF(38, 38))) << name;
    }
}

TEST(MicButtonView, PressesBecomeClicksOrDragsByTheThreePointRule)
{
    struct Row {
        const char* name;
        std::optional<bool> draggable;  // none: no callback set
        QPointF press;                  // in the 38-point view
        QPointF move;                   // displacement before the release
        int clicksOnPress, clicks, drags;
        QPoint moved;
    };
    const QPointF centre(19, 19);
    const std::vector<Row> rows{
        {"not draggable (unset): clicks on the press", std::nullopt, centre, {10, 0}, 1, 1, 0, {}},
        {"draggable, released in place: clicks on the release", true, centre, {}, 0, 1, 0, {}},
        {"moved exactly 3 points: still a click", true, centre, {3, 0}, 0, 1, 0, {}},
        {"moved 2.998 points diagonally: a click", true, centre, {2.12, 2.12}, 0, 1, 0, {}},
        {"moved 3.01 points: a drag by the whole displacement", true, centre, {3.01, 0}, 0, 0, 1, {3, 0}},
        {"a long drag moves the window the whole way", true, centre, {-30, 40}, 0, 0, 1, {-30, 40}},
        {"a press on the edge of the disc counts", false, {19 + 14, 19}, {}, 1, 1, 0, {}},
        {"a press on a transparent corner does nothing", false, {3, 3}, {}, 0, 0, 0, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Panel p;
        MicButtonPanel& panel = p.panel;
        int clicks = 0, drags = 0;
        p.view->onClick = [&] { ++clicks; };
        p.view->onDragEnded = [&] { ++drags; };
        if (row.draggable) p.view->isDraggable = [draggable = *row.draggable] { return draggable; };
        panel.place({700, 400});
        const QPoint start = panel.pos();
        send(p.view, QEvent::MouseButtonPress, row.press, Qt::LeftButton);
        EXPECT_EQ(clicks, row.clicksOnPress);
        // The pointer travels in small steps, as a hand moves it.
        for (int step = 1; step <= 4; ++step)
            send(p.view, QEvent::MouseMove, row.press + row.move * step / 4.0 - QPointF(panel.pos() - start), Qt::LeftButton);
        send(p.view, QEvent::MouseButtonRelease, row.press + row.move - QPointF(panel.pos() - start), Qt::NoButton);
        EXPECT_EQ(std::tuple(clicks, drags, panel.pos() - start), std::tuple(row.clicks, row.drags, row.moved));
    }
}

TEST(MicButtonView, StateChangesAnimateAndAreAnnounced)
{
    Panel p;
    int announced = 0;
    QObject::connect(p.view, &MicButtonView::accessibilityLabelChanged, [&] { ++announced; });
    p.panel.place({700, 400});
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::tuple<MicButtonState, int, bool> steps[] = {  // state, announcements, animating
        {MicButtonState::idle, 0, false},      {MicButtonState::load(0.4), 1, false}, {MicButtonState::load(0.4), 0, false},
        {MicButtonState::load(nan), 1, false}, {MicButtonState::load(nan), 0, false}, {MicButtonState::rec, 1, true},
        {MicButtonState::rec, 0, true},        {MicButtonState::proc, 1, true},       {MicButtonState::ok, 1, false},
    };
    MicButtonView::inputLevel = 1;
    for (const auto& [state, announcements, animating] : steps) {
        SCOPED_TRACE(state.accessibilityLabel().toStdString());
        const int before = announced;
        p.view->setState(state);
        EXPECT_EQ(announced - before, announcements);
        EXPECT_EQ(p.view->isAnimating(), animating);
        if (state == MicButtonState::rec && announcements == 1) {
            // 54 ticks of 16 ms: one full turn, and the level smoothed toward the input.
            p.clock.advance(54 * 16ms);
            EXPECT_NEAR(p.view->spin(), 2 * std::numbers::pi, 1e-9);
            EXPECT_NEAR(p.view->level(), 1 - std::pow(0.75, 54), 1e-9);
            // Hidden, the animation stands still; shown again, it goes on.
            p.panel.orderOut();
            p.clock.advance(160ms);
            EXPECT_NEAR(p.view->spin(), 2 * std::numbers::pi, 1e-9);
            p.panel.place({700, 400});
        }
        if (state == MicButtonState::proc) p.clock.advance(32ms);
    }
    // Processing kept the recording's animation going; the flash stopped it and reset the level.
    EXPECT_GT(p.view->spin(), 2 * std::numbers::pi);
    EXPECT_EQ(p.view->level(), 0);
    MicButtonView::inputLevel = 0;
}

TEST(ScreenCoordinates, APrimaryScreenAwayFromTheOriginShiftsBothAxesBothWays)
{
    using platform::ScreenCoordinates;
    const QRectF primary(1920, 200, 1280, 1024);
    EXPECT_EQ(ScreenCoordinates::fromQt(QPointF(2000.5, 300.25), primary), QPointF(80.5, 923.75));
    EXPECT_EQ(ScreenCoordinates::toQt(QPointF(80.5, 923.75), primary), QPointF(2000.5, 300.25));
    // A rectangle is placed by its bottom-left corner and keeps its size.
    EXPECT_EQ(ScreenCoordinates::fromQt(QRectF(2020, 250, 200, 30), primary), QRectF(100, 944, 200, 30));
    EXPECT_EQ(ScreenCoordinates::toQt(QRectF(100, 944, 200, 30), primary), QRectF(2020, 250, 200, 30));
}
