#include "KorvuDarivir/UI/MicButton.h"
#include "KorvuDarivir/UI/MicButtonPanel.h"
#include "Platform/UI/FakeScheduler.h"
#include "Platform/UI/FakeScreenProvider.h"

#include <QApplication>
#include <QMouseEvent>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <optional>
#include <vector>

using korvu::MicButtonPanel;
using korvu::MicButtonState;
using korvu::MicButtonView;
using platform::FakeScheduler;
using platform::FakeScreenProvider;
using namespace std::chrono_literals;

namespace {

const platform::ScreenInfo kPrimary = FakeScreenProvider::screen({0, 0, 1440, 900}, 25, 0);
const platform::ScreenInfo kSecond = FakeScreenProvider::screen({1440, 100, 1280, 800}, 0, 40);
const platform::ScreenInfo kSliver = FakeScreenProvider::screen({-20, 0, 20, 900});

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

TEST(MicButtonPanelPlacement, TheGlyphStaysInsideTheVisibleFrameOfItsScreen)
{
    struct Row {
        const char* name;
        std::vector<platform::ScreenInfo> screens;
        QPointF point;
        QPointF glyph;  // where the glyph's bottom-left corner ends up
    };
    const std::vector<Row> rows{
        {"left of and below the frame: its bottom-left corner", {kPrimary}, {-50, -50}, {0, 0}},
        {"beyond the top right: 26 inside that corner", {kPrimary}, {1439, 899}, {1414, 849}},
        {"on the second screen: above its dock", {kPrimary, kSecond}, {1500, 120}, {1500, 140}},
        {"outside every screen: the primary's frame", {kPrimary, kSecond}, {5000, 5000}, {1414, 849}},
        {"a frame narrower than the glyph: the upper limit wins", {kSliver}, {-10, 400}, {-26, 400}},
        {"no screen at all: unchanged", {}, {5000, -70}, {5000, -70}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Panel p(row.screens);
        p.panel.place(row.point);
        EXPECT_TRUE(p.panel.isVisible());
        EXPECT_EQ(p.panel.frame(), QRectF(row.glyph - QPointF(6, 6), QSizeF(38, 38)));
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

TEST(MicButtonWidget, IsAPlainButtonOfTheGivenGlyphSize)
{
    int clicks = 0;
    korvu::MicButton button(MicButtonState::idle, 52, [&] { ++clicks; });
    button.resize(100, 90);
    button.show();
    EXPECT_EQ(button.view()->geometry(), QRect(12, 7, 76, 76));
    // The disc scales with the width: radius 28 at twice the size.
    send(button.view(), QEvent::MouseButtonPress, {38 + 27.5, 38}, Qt::LeftButton);
    send(button.view(), QEvent::MouseButtonPress, {38 + 28.5, 38}, Qt::LeftButton);
    EXPECT_EQ(clicks, 1);
}
