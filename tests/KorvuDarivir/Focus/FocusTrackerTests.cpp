// The tracker's rules on hand-made accessibility trees: which focused objects count as
// editable text, which area the frame is taken from, how it lands in the application's
// screen space, and when a change is reported.
#include "fakes/FakeAccessibility.h"
#include "Printers.h"

#include "KorvuDarivir/Dictation/FocusTracker.h"
#include "Platform/UI/FakeScreenProvider.h"

#include <QEventLoop>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

using fakes::FakeAccessibility;
using fakes::FakeClock;
using fakes::FakeNode;
using korvu::FocusedField;
using korvu::FocusTracker;
using platform::AccessibleRole;
using platform::FakeScreenProvider;
using Reports = std::vector<std::optional<FocusedField>>;

constexpr pid_t kOwnPid = 1000;
constexpr pid_t kAppPid = 4242;

class FocusTrackerTest : public ::testing::Test {
protected:
    FocusTrackerTest()
    {
        // One 1280 × 800 screen whose top 24 rows belong to a panel.
        screens->screenList = {FakeScreenProvider::screen(QRectF(0, 0, 1280, 800), 24)};
        window = std::make_shared<FakeNode>(clock);
        window->nodeRole = AccessibleRole::frame;
        window->pid = kAppPid;
        window->nodeExtents = QRectF(50, 50, 800, 600);
    }

    FocusTracker& tracker()
    {
        if (!tracker_) {
            FocusTracker::Environment environment{
                .accessibility = accessibility,
                .screens = screens,
                .clock = [this] { return clock->now; },
                .ownPID = kOwnPid,
            };
            tracker_ = std::make_unique<FocusTracker>(std::move(environment));
            tracker_->onChange = [this](const std::optional<FocusedField>& field) { reports.push_back(field); };
        }
        return *tracker_;
    }

    // A field in the window, focused, at a place in Qt's coordinates.
    std::shared_ptr<FakeNode> focusField(std::optional<AccessibleRole> role, QRectF extents)
    {
        auto field = window->add(role, extents);
        field->nodeStates->focused = true;
        accessibility->focused = field;
        return field;
    }

    // What a field at a Qt rectangle is in the application's space on the 800-high primary.
    static FocusedField expected(QRectF qtRect, pid_t pid = kAppPid)
    {
        return {pid, QRectF(qtRect.x(), 800 - qtRect.y() - qtRect.height(), qtRect.width(), qtRect.height())};
    }

    std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
    std::shared_ptr<FakeAccessibility> accessibility = std::make_shared<FakeAccessibility>(clock);
    std::shared_ptr<FakeScreenProvider> screens = std::make_shared<FakeScreenProvider>();
    std::shared_ptr<FakeNode> window;
    Reports reports;

private:
    std::unique_ptr<FocusTracker> tracker_;
};

TEST_F(FocusTrackerTest, TextFieldIsReportedOnceInBottomLeftSpace)
{
    const QRectF rect(100, 100, 400, 30);
    focusField(AccessibleRole::text, rect);
    tracker().tick();
    tracker().tick();
    tracker().tick();
    ASSERT_EQ(reports.size(), 1U);
    EXPECT_EQ(reports[0], expected(rect));
    EXPECT_EQ(reports[0]->frame, QRectF(100, 670, 400, 30));
}

TEST_F(FocusTrackerTest, ChangesOfFrameOrProcessAreReportedAndNothingElse)
{
    auto field = focusField(AccessibleRole::entry, QRectF(100, 100, 400, 30));
    tracker().tick();
    // The window moves by one point: a new frame.
    field->nodeExtents = QRectF(101, 100, 400, 30);
    tracker().tick();
    // Another field of the same process with the same frame: nothing new.
    focusField(AccessibleRole::text, QRectF(101, 100, 400, 30));
    tracker().tick();
    // The same frame in another process: new.
    accessibility->frontmost = 5000;
    auto other = focusField(AccessibleRole::text, QRectF(101, 100, 400, 30));
    other->pid = 5000;
    tracker().tick();
    // Focus leaves every field: one report of nothing, then silence.
    accessibility->focused = nullptr;
    tracker().tick();
    tracker().tick();
    EXPECT_EQ(reports, (Reports{expected(QRectF(100, 100, 400, 30)), expected(QRectF(101, 100, 400, 30)),
                                expected(QRectF(101, 100, 400, 30), 5000), std::nullopt}));
}

// Objects that never count as a text field, whatever else they offer: no focus at all, a
// button, password fields, sliders, spin buttons, scroll bars, date editors (even with a
// settable value), an object whose states cannot be read, a combo box the user cannot type in.
TEST_F(FocusTrackerTest, ObjectsThatAreNoTextFieldNeverCount)
{
    accessibility->focused = nullptr;
    tracker().tick();
    focusField(AccessibleRole::other, QRectF(100, 100, 80, 30));
    tracker().tick();
    for (const AccessibleRole role : {AccessibleRole::passwordText, AccessibleRole::slider, AccessibleRole::spinButton,
                                      AccessibleRole::scrollBar, AccessibleRole::dateEditor}) {
        focusField(role, QRectF(100, 100, 400, 30))->makeSettable();
        tracker().tick();
    }
    auto unreadable = focusField(AccessibleRole::other, QRectF(100, 100, 400, 30));
    unreadable->editableText = true;
    unreadable->nodeStates = std::nullopt;
    tracker().tick();
    auto combo = focusField(AccessibleRole::comboBox, QRectF(100, 100, 400, 30));
    tracker().tick();
    EXPECT_TRUE(reports.empty());
    combo->nodeStates->editable = true;
    tracker().tick();
    EXPECT_EQ(reports, (Reports{expected(QRectF(100, 100, 400, 30))})) << "a combo box the user can type in counts";
}

TEST_F(FocusTrackerTest, NumberFieldWithStepperAmongFourChildrenDoesNotCount)
{
    auto field = focusField(AccessibleRole::text, QRectF(100, 100, 400, 30));
    field->add(AccessibleRole::other);
    field->add(AccessibleRole::other);
    field->add(AccessibleRole::spinButton);
    field->add(AccessibleRole::other);
    tracker().tick();
    EXPECT_TRUE(reports.empty());

    // With a fifth child it is a text field with parts, and counts by its role.
    field->add(AccessibleRole::other);
    tracker().tick();
    EXPECT_EQ(reports, (Reports{expected(QRectF(100, 100, 400, 30))}));
}

TEST_F(FocusTrackerTest, RolelessObjectCountsOnlyWithSettableText)
{
    auto field = focusField(std::nullopt, QRectF(100, 100, 400, 30));
    tracker().tick();
    EXPECT_TRUE(reports.empty()) << "neither editable nor text";

    field->nodeStates->editable = true;
    tracker().tick();
    EXPECT_TRUE(reports.empty()) << "editable, but its text cannot be set";

    field->editableText = true;
    tracker().tick();
    ASSERT_EQ(reports.size(), 1U);

    // A role-less number field: one child is a stepper.
    field->add(AccessibleRole::spinButton);
    tracker().tick();
    EXPECT_EQ(reports, (Reports{expected(QRectF(100, 100, 400, 30)), std::nullopt}));
}

TEST_F(FocusTrackerTest, AnchorClimbsThroughEditingAreaButStopsBelowWebPage)
{
    auto page = window->add(AccessibleRole::documentWeb, QRectF(50, 50, 800, 600));
    auto editor = page->add(AccessibleRole::other, QRectF(60, 60, 500, 300));
    editor->makeSettable();
    auto entry = editor->add(AccessibleRole::entry, QRectF(70, 70, 400, 200));
    auto paragraph = entry->add(AccessibleRole::other, QRectF(80, 80, 300, 20));
    paragraph->makeSettable();
    paragraph->nodeStates->focused = true;
    accessibility->focused = paragraph;

    tracker().tick();
    EXPECT_EQ(reports, (Reports{expected(QRectF(60, 60, 500, 300))}));
}

TEST_F(FocusTrackerTest, AnchorStartsFromTheHighestEditableAncestor)
{
    // Editable containers above a plain container: the climb by state passes the plain
    // one only when it is itself editable.
    auto outer = window->add(AccessibleRole::other, QRectF(60, 60, 600, 400));
    outer->nodeStates->editable = true;
    auto inner = outer->add(AccessibleRole::other, QRectF(70, 70, 500, 300));
    inner->nodeStates->editable = true;
    auto field = inner->add(AccessibleRole::text, QRectF(80, 80, 300, 20));
    field->nodeStates->focused = true;
    accessibility->focused = field;
    tracker().tick();
    EXPECT_EQ(reports, (Reports{expected(QRectF(60, 60, 600, 400))}));
}

TEST_F(FocusTrackerTest, AnchorClimbsAtMostEightTextParents)
{
    std::shared_ptr<FakeNode> node = window;
    std::vector<std::shared_ptr<FakeNode>> chain;
    for (int i = 0; i < 10; ++i) {
        node = node->add(AccessibleRole::text, QRectF(100 + i, 100, 400, 30));
        chain.push_back(node);
    }
    chain.back()->nodeStates->focused = true;
    accessibility->focused = chain.back();
    tracker().tick();
    // From the tenth, eight climbs end at the second.
    EXPECT_EQ(reports, (Reports{expected(QRectF(101, 100, 400, 30))}));
}

TEST_F(FocusTrackerTest, SmallAnchorClimbsUntilLargeEnough)
{
    auto box = window->add(AccessibleRole::other, QRectF(100, 100, 300, 40));
    auto strip = box->add(AccessibleRole::other, QRectF(100, 100, 29, 40));  // too narrow
    auto field = strip->add(AccessibleRole::text, QRectF(100, 100, 20, 10));
    field->nodeStates->focused = true;
    accessibility->focused = field;
    tracker().tick();
    EXPECT_EQ(reports, (Reports{expected(QRectF(100, 100, 300, 40))}));
}

TEST_F(FocusTrackerTest, SmallAnchorClimbsAtMostSixTimes)
{
    std::shared_ptr<FakeNode> node = window;
    std::vector<std::shared_ptr<FakeNode>> chain;
    for (int i = 0; i < 8; ++i) {
        node = node->add(AccessibleRole::other, QRectF(100 + i, 100, 20, 10));
        chain.push_back(node);
    }
    chain.back()->nodeRole = AccessibleRole::text;
    chain.back()->nodeStates->focused = true;
    accessibility->focused = chain.back();
    tracker().tick();
    // The sixth parent of the eighth is taken though it is small too.
    EXPECT_EQ(reports, (Reports{expected(QRectF(101, 100, 20, 10))}));
}

TEST_F(FocusTrackerTest, FrameIsClippedToTheVisiblePartOfItsScreen)
{
    // Half beyond the right edge.
    auto field = focusField(AccessibleRole::text, QRectF(1080, 100, 400, 30));
    tracker().tick();
    EXPECT_EQ(reports, (Reports{FocusedField{kAppPid, QRectF(1080, 670, 200, 30)}}));

    // Entirely under the panel at the top, then entirely off every screen: nothing.
    field->nodeExtents = QRectF(100, 0, 400, 20);
    tracker().tick();
    field->nodeExtents = QRectF(2000, 100, 400, 30);
    tracker().tick();
    // Empty and negative sizes, on an object without parents to climb to: nothing.
    field->up.reset();
    field->nodeExtents = QRectF(100, 100, 0, 30);
    tracker().tick();
    field->nodeExtents = QRectF(100, 100, 400, -1);
    tracker().tick();
    EXPECT_EQ(reports, (Reports{FocusedField{kAppPid, QRectF(1080, 670, 200, 30)}, std::nullopt}));
}

TEST_F(FocusTrackerTest, FrameOnASecondScreenIsClippedToThatScreen)
{
    // The primary (1280 × 800) and a taller screen to its right, whose top 30 rows are a
    // panel; in the application's space it reaches 280 below the primary's bottom.
    screens->screenList = {FakeScreenProvider::screen(QRectF(0, 0, 1280, 800)),
                           FakeScreenProvider::screen(QRectF(1280, -280, 1920, 1080), 30)};

    auto field = focusField(AccessibleRole::text, QRectF(1300, 900, 400, 30));
    tracker().tick();
    // Below the primary's bottom: y is negative.
    EXPECT_EQ(reports.back(), (FocusedField{kAppPid, QRectF(1300, -130, 400, 30)}));

    // Running off the second screen's bottom: cut there.
    field->nodeExtents = QRectF(1300, 1060, 400, 40);
    tracker().tick();
    EXPECT_EQ(reports.back(), (FocusedField{kAppPid, QRectF(1300, -280, 400, 20)}));

    // Across both screens: the first one in the list that it touches (the primary) wins.
    field->nodeExtents = QRectF(1200, 100, 200, 30);
    tracker().tick();
    EXPECT_EQ(reports.back(), (FocusedField{kAppPid, QRectF(1200, 670, 80, 30)}));

    // In the second screen's panel: nothing.
    field->nodeExtents = QRectF(1500, 5, 200, 20);
    tracker().tick();
    EXPECT_EQ(reports.back(), std::nullopt);
    EXPECT_EQ(reports.size(), 4U);
}

// Extents are device pixels: on a primary scaled by 2 (2560 × 1600 device pixels, 1280 ×
// 800 logical) they are halved about the screen's corner; on an unscaled screen beside it
// (which Qt keeps at its device position, 2560) they are taken as they are.
TEST_F(FocusTrackerTest, DevicePixelsOfAScaledScreenAreConvertedToLogicalOnes)
{
    screens->screenList = {FakeScreenProvider::screen(QRectF(0, 0, 1280, 800), 0, 0, 2.0),
                           FakeScreenProvider::screen(QRectF(2560, -280, 1920, 1080))};
    auto field = focusField(AccessibleRole::text, QRectF(200, 200, 800, 60));
    tracker().tick();
    EXPECT_EQ(reports.back(), (FocusedField{kAppPid, QRectF(100, 670, 400, 30)}));
    field->nodeExtents = QRectF(2600, 100, 400, 30);
    tracker().tick();
    EXPECT_EQ(reports.back(), (FocusedField{kAppPid, QRectF(2600, 670, 400, 30)}));
}

TEST_F(FocusTrackerTest, NoScreensMeansNoField)
{
    screens->screenList.clear();
    focusField(AccessibleRole::text, QRectF(100, 100, 400, 30));
    tracker().tick();
    EXPECT_TRUE(reports.empty());
}

TEST_F(FocusTrackerTest, OwnProcessIsNeverReported)
{
    // Our own window in front: the tree is not even asked.
    accessibility->frontmost = kOwnPid;
    auto field = focusField(AccessibleRole::text, QRectF(100, 100, 400, 30));
    field->pid = kOwnPid;
    tracker().tick();
    EXPECT_EQ(accessibility->focusedNodeCalls, 0);

    // Another process in front, but the focused object is ours.
    accessibility->frontmost = kAppPid;
    tracker().tick();
    EXPECT_TRUE(reports.empty());
}

TEST_F(FocusTrackerTest, FieldWhoseOwnerCannotBeToldIsNotReported)
{
    auto field = focusField(AccessibleRole::text, QRectF(100, 100, 400, 30));
    field->pid = 0;
    tracker().tick();
    EXPECT_TRUE(reports.empty());
}

TEST_F(FocusTrackerTest, NothingWithoutAFrontmostProcess)
{
    accessibility->frontmost = std::nullopt;
    focusField(AccessibleRole::text, QRectF(100, 100, 400, 30));
    tracker().tick();
    EXPECT_TRUE(reports.empty());
}

TEST_F(FocusTrackerTest, WithdrawnTrustReportsNothingOnce)
{
    focusField(AccessibleRole::text, QRectF(100, 100, 400, 30));
    accessibility->trusted = false;
    tracker().tick();
    EXPECT_TRUE(reports.empty()) << "never reported while not trusted";

    accessibility->trusted = true;
    tracker().tick();
    accessibility->trusted = false;
    tracker().tick();
    tracker().tick();
    EXPECT_EQ(reports, (Reports{expected(QRectF(100, 100, 400, 30)), std::nullopt}));
}

TEST_F(FocusTrackerTest, SlowApplicationChangesNothingAndIsLeftAtTheBudget)
{
    auto field = focusField(AccessibleRole::text, QRectF(100, 100, 400, 30));
    tracker().tick();
    ASSERT_EQ(reports.size(), 1U);

    // Focus moves while the application answers each call in 100 ms: the poll stops
    // calling once its 300 ms are spent, and reports nothing.
    auto slow = focusField(AccessibleRole::text, QRectF(100, 300, 400, 30));
    clock->perCall = std::chrono::milliseconds(100);
    clock->calls = 0;
    tracker().tick();
    EXPECT_EQ(reports.size(), 1U);
    EXPECT_LE(clock->calls, 3);

    // Answering again in time, it is seen.
    clock->perCall = std::chrono::milliseconds(10);
    tracker().tick();
    EXPECT_EQ(reports, (Reports{expected(QRectF(100, 100, 400, 30)), expected(QRectF(100, 300, 400, 30))}));

    // A focus that left while slow is not mistaken for "no field".
    accessibility->focused = nullptr;
    clock->perCall = std::chrono::milliseconds(400);
    tracker().tick();
    EXPECT_EQ(reports.size(), 2U);
}

TEST_F(FocusTrackerTest, PollStartedFromTheCallbackDoesNotNestInTheRunningOne)
{
    auto field = focusField(AccessibleRole::text, QRectF(100, 100, 400, 30));
    int calls = 0;
    tracker().onChange = [&](const std::optional<FocusedField>& reported) {
        ++calls;
        reports.push_back(reported);
        field->nodeExtents = QRectF(200, 100, 400, 30);
        tracker().tick();  // as a nested event loop would
    };
    tracker().tick();
    EXPECT_EQ(calls, 1);
    tracker().tick();
    EXPECT_EQ(reports, (Reports{expected(QRectF(100, 100, 400, 30)), expected(QRectF(200, 100, 400, 30))}));
}

TEST_F(FocusTrackerTest, StartSetsTheTimeoutAndPollsOnTheEventLoop)
{
    focusField(AccessibleRole::text, QRectF(100, 100, 400, 30));
    tracker().start();
    EXPECT_EQ(accessibility->timeout, std::chrono::milliseconds(150));

    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (accessibility->focusedNodeCalls >= 2) {
            loop.quit();
        }
    });
    check.start(10);
    QTimer::singleShot(std::chrono::seconds(30), &loop, &QEventLoop::quit);
    loop.exec();
    EXPECT_GE(accessibility->focusedNodeCalls, 2);
    EXPECT_EQ(reports, (Reports{expected(QRectF(100, 100, 400, 30))}));
}

}  // namespace
