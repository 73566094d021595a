#include "KorvuDarivir/UI/HintPanel.h"
#include "KorvuDarivir/UI/MicButtonPanel.h"
#include "Platform/Input/ActiveWindow.h"
#include "fakes/FakeScheduler.h"
#include "Platform/UI/ScreenCoordinates.h"

#include "X11TestSupport.h"

#include <QMouseEvent>
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

// An ordinary window that notes where it was pressed.
class PressRecorder : public QWidget {
public:
    std::vector<QPoint> presses;

protected:
    void mousePressEvent(QMouseEvent* event) override { presses.push_back(event->globalPosition().toPoint()); }
};

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

        // The panel's top-left corner is transparent, the disc is the button's, and a
        // hint never takes a click, not even on its pill.
        const QPoint pill = hints.geometry().center();
        mouse.click({502, 452});
        mouse.click({519, 469});
        mouse.click(pill);
        ASSERT_TRUE(spinUntil([&] { return beneath.presses.size() == 2 && clicks == 1; }));
        EXPECT_EQ(beneath.presses, (std::vector<QPoint>{{502, 452}, pill}));
        EXPECT_TRUE(hints.isVisible());
    }
}
