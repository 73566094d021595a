#include "KorvuDarivir/UI/HintPanel.h"
#include "KorvuDarivir/UI/MicButtonPanel.h"
#include "Platform/Input/ActiveWindow.h"
#include "fakes/FakeScheduler.h"
#include "Platform/UI/ScreenCoordinates.h"

#include "X11TestSupport.h"

#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QScreen>
#include <QWidget>
#include <QWindow>

#include <gtest/gtest.h>

#include <optional>
#include <vector>

using korvu::HintKind;
using korvu::HintPanel;
using korvu::MicButtonPanel;
using platform::ScreenCoordinates;
using namespace x11test;

namespace {

bool exposed(QWidget& widget)
{
    return spinUntil([&] { return widget.windowHandle() != nullptr && widget.windowHandle()->isExposed(); });
}

// An ordinary window, filled with one colour, that notes where it was pressed.
class PressRecorder : public QWidget {
public:
    static inline const QColor colour{0, 200, 0};
    std::vector<QPoint> presses;

protected:
    void paintEvent(QPaintEvent*) override { QPainter(this).fillRect(rect(), colour); }
    void mousePressEvent(QMouseEvent* event) override { presses.push_back(event->globalPosition().toPoint()); }
};

// What the X server shows at `point`, whichever window's pixel it is. (Not a screenshot
// by xwd: it copies each window of another visual, such as the floating windows' 32-bit
// one, as its whole rectangle, shape ignored, and so shows cut corners black.)
QColor screenPixel(QPoint point)
{
    return QGuiApplication::primaryScreen()->grabWindow(0, point.x(), point.y(), 1, 1).toImage().pixelColor(0, 0);
}

}  // namespace

TEST(FloatingWindowX11, TheTypistKeepsTheFocusWhileTheButtonAndHintsComeAndGo)
{
    TargetApp target;
    ASSERT_TRUE(target.start()) << "the target application did not come up";
    KeyboardDriver input;
    MicButtonPanel panel;
    int clicks = 0;
    panel.button()->onClick = [&] { ++clicks; };
    panel.place(ScreenCoordinates::fromQt(QPointF(706, 332)));  // the glyph's corner: top left at 700, 300
    ASSERT_TRUE(exposed(panel));
    HintPanel hints;
    hints.show({HintKind::info, "Position gemerkt", QString("Gilt für diese App.")}, panel.frame().adjusted(6, 6, -6, -6));
    ASSERT_TRUE(exposed(hints));
    input.tap({kW});
    EXPECT_TRUE(spinUntil([&] { return target.text() == "w"; }));

    input.click(panel.geometry().center());
    ASSERT_TRUE(spinUntil([&] { return clicks == 1; }));
    hints.showTooltip("Klicken zum Diktieren", panel.frame().adjusted(6, 6, -6, -6));
    input.tap({kX});
    EXPECT_TRUE(spinUntil([&] { return target.text() == "wx"; })) << "typing after the click went elsewhere";
    EXPECT_EQ(platform::ActiveWindow::frontmostPid(), target.pid());
}

TEST(FloatingWindowX11, ClicksOnTransparentPartsAndOnHintsReachTheWindowBeneath)
{
    KeyboardDriver mouse;
    for (const bool compositor : {false, true}) {
        SCOPED_TRACE(compositor ? "with a compositor" : "without a compositor");
        std::optional<FakeCompositor> manager;
        if (compositor) manager.emplace();
        PressRecorder beneath;
        beneath.setGeometry(400, 400, 300, 200);
        beneath.show();
        ASSERT_TRUE(exposed(beneath));
        MicButtonPanel panel;
        int clicks = 0;
        panel.button()->onClick = [&] { ++clicks; };
        panel.place(ScreenCoordinates::fromQt(QPointF(506, 482)));  // top left at 500, 450
        ASSERT_TRUE(exposed(panel));
        EXPECT_EQ(panel.drawsShadow(), compositor);
        platform::QtScreenProvider screens;
        fakes::FakeScheduler clock;  // the hint stays up until the test is done with it
        HintPanel hints(screens, clock);
        hints.show({HintKind::info, "Position gemerkt", std::nullopt}, ScreenCoordinates::fromQt(QRectF(620, 540, 26, 26)));
        ASSERT_TRUE(exposed(hints));

        // Without a compositor nothing blends a transparent pixel with what lies beneath:
        // the windows must be cut to what they draw, or their corners show black. Once the
        // disc and the pill are drawn, the corners show the window beneath.
        const QPoint pill = hints.geometry().center();
        const QPoint pillEdge = hints.geometry().topLeft() + QPoint(int(hints.geometry().height() / 2), int(HintPanel::pad) + 3);
        const auto drawn = [](QPoint p) { return screenPixel(p) != PressRecorder::colour; };
        ASSERT_TRUE(spinUntil([&] { return drawn({519, 469}) && drawn(pillEdge) && !drawn({420, 420}); }));
        if (!compositor) {
            EXPECT_EQ(screenPixel({502, 452}).name(), PressRecorder::colour.name()) << "the button's corner";
            EXPECT_EQ(screenPixel(hints.geometry().topLeft() + QPoint(2, 2)).name(), PressRecorder::colour.name()) << "the hint's corner";
        } else {
            // The compositor blends the corners; nothing may cut away the content's shadow.
            EXPECT_TRUE(panel.mask().isEmpty());
            EXPECT_TRUE(hints.mask().isEmpty());
        }

        // The panel's top-left corner is transparent, the disc is the button's, and a
        // hint never takes a click, not even on its pill.
        mouse.click({502, 452});
        mouse.click({519, 469});
        mouse.click(pill);
        ASSERT_TRUE(spinUntil([&] { return beneath.presses.size() == 2 && clicks == 1; }));
        EXPECT_EQ(beneath.presses, (std::vector<QPoint>{{502, 452}, pill}));
        EXPECT_TRUE(hints.isVisible());
    }
}
