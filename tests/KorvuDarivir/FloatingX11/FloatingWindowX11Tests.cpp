#include "KorvuDarivir/UI/HintPanel.h"
#include "KorvuDarivir/UI/MicButtonPanel.h"
#include "Platform/Input/ActiveWindow.h"
#include "Platform/UI/FakeScheduler.h"
#include "Platform/UI/ScreenCoordinates.h"

#include "X11TestSupport.h"

#include <QMouseEvent>
#include <QWidget>
#include <QWindow>

#include <gtest/gtest.h>

#include <optional>
#include <vector>

using korvu::Hint;
using korvu::HintKind;
using korvu::HintPanel;
using korvu::MicButtonPanel;
using platform::ScreenCoordinates;
using namespace x11test;

namespace {

bool exposed(QWidget& widget)
{
    return waitUntil([&] { return widget.windowHandle() != nullptr && widget.windowHandle()->isExposed(); });
}

// Puts the button panel's top-left corner at a point of Qt's global space.
void placeAtQt(MicButtonPanel& panel, QPoint topLeft)
{
    const QPointF glyphBottomLeft(topLeft.x() + 6, topLeft.y() + 6 + 26);
    panel.place(ScreenCoordinates::fromQt(glyphBottomLeft));
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
    ASSERT_TRUE(waitUntil([&] { return platform::ActiveWindow::frontmostPid() == target.pid(); }));
    KeyboardDriver keys;
    PointerDriver mouse;
    const auto type = [&](std::uint8_t key) {
        keys.press(key);
        keys.release(key);
    };
    type(kW);
    ASSERT_TRUE(waitUntil([&] { return target.text() == "w"; }));

    MicButtonPanel panel;
    int clicks = 0;
    panel.button()->onClick = [&] { ++clicks; };
    placeAtQt(panel, {700, 300});
    ASSERT_TRUE(exposed(panel));
    HintPanel hints;
    hints.show({HintKind::info, "Position gemerkt", QString("Gilt für diese App.")},
               panel.frame().adjusted(6, 6, -6, -6));
    ASSERT_TRUE(exposed(hints));
    type(kX);
    EXPECT_TRUE(waitUntil([&] { return target.text() == "wx"; }));

    const QPoint centre = panel.geometry().center();
    mouse.click(centre.x(), centre.y());
    ASSERT_TRUE(waitUntil([&] { return clicks == 1; }));
    hints.showTooltip("Klicken zum Diktieren", panel.frame().adjusted(6, 6, -6, -6));
    type(kW);
    EXPECT_TRUE(waitUntil([&] { return target.text() == "wxw"; })) << "typing after the click went elsewhere";
    EXPECT_EQ(platform::ActiveWindow::frontmostPid(), target.pid());
}

TEST(FloatingWindowX11, ClicksOnTransparentPartsAndOnHintsReachTheWindowBeneath)
{
    PointerDriver mouse;
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
        placeAtQt(panel, {500, 450});
        ASSERT_TRUE(exposed(panel));
        EXPECT_EQ(panel.drawsShadow(), compositor);
        // The hint stays up until the test is done with it.
        platform::QtScreenProvider screens;
        platform::FakeScheduler clock;
        HintPanel hints(screens, clock);
        hints.show({HintKind::info, "Position gemerkt", std::nullopt},
                   ScreenCoordinates::fromQt(QRectF(620, 540, 26, 26)));
        ASSERT_TRUE(exposed(hints));

        // The panel's top-left corner is transparent: the window beneath gets the click.
        mouse.click(502, 452);
        ASSERT_TRUE(waitUntil([&] { return beneath.presses.size() == 1; }));
        EXPECT_EQ(beneath.presses[0], QPoint(502, 452));
        // The disc is the button's.
        mouse.click(519, 469);
        ASSERT_TRUE(waitUntil([&] { return clicks == 1; }));
        // A hint never takes a click, not even on its pill.
        const QPoint pill = hints.geometry().center();
        mouse.click(pill.x(), pill.y());
        ASSERT_TRUE(waitUntil([&] { return beneath.presses.size() == 2; }));
        EXPECT_EQ(beneath.presses[1], pill);
        EXPECT_TRUE(hints.isVisible());
        EXPECT_EQ(clicks, 1);
    }
}
