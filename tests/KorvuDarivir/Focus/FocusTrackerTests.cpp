// The tracker's rules on hand-made accessibility trees: which focused objects count as
// editable text, which area the frame is taken from, how it lands in the application's
// screen space (y up), and when a change is reported.
#include "fakes/FakeAccessibility.h"
#include "Printers.h"

#include "KorvuDarivir/Dictation/FocusTracker.h"
#include "fakes/FakeScreenProvider.h"
#include "support/QtWait.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

using fakes::FakeNode;
using korvu::FocusedField;
using Role = platform::AccessibleRole;
using fakes::FakeScreenProvider;
using Reports = std::vector<std::optional<FocusedField>>;
using Node = std::shared_ptr<FakeNode>;

constexpr pid_t kOwnPid = 1000;
constexpr pid_t kAppPid = 4242;
const QRectF kRect(100, 100, 400, 30);  // Qt space
const QRectF kUp(100, 670, 400, 30);    // the same in the application's space

// One 1280 × 800 screen whose top 24 rows belong to a panel, and a window of process 4242.
struct Desk {
    Desk()
    {
        screens->screenList = {FakeScreenProvider::screen(QRectF(0, 0, 1280, 800), 24)};
        window->nodeRole = Role::frame;
        window->pid = kAppPid;
        window->nodeExtents = QRectF(50, 50, 800, 600);
        tracker.onChange = [this](const std::optional<FocusedField>& field) { reports.push_back(field); };
    }
    Node focus(Node node)
    {
        node->nodeStates->focused = true;
        accessibility->focused = node;
        return node;
    }
    Node field(std::optional<Role> role, QRectF rect = kRect) { return focus(window->add(role, rect)); }
    // A chain of `count` nodes below the window, each the parent of the next; the last focused.
    Node chain(int count, std::optional<Role> role, QSizeF size)
    {
        Node node = window;
        for (int i = 0; i < count; ++i) node = node->add(role, QRectF(QPointF(100 + i, 100), size));
        return focus(node);
    }
    Reports tick()
    {
        tracker.tick();
        return reports;
    }

    std::shared_ptr<fakes::FakeClock> clock = std::make_shared<fakes::FakeClock>();
    std::shared_ptr<fakes::FakeAccessibility> accessibility = std::make_shared<fakes::FakeAccessibility>(clock);
    std::shared_ptr<FakeScreenProvider> screens = std::make_shared<FakeScreenProvider>();
    Node window = std::make_shared<FakeNode>(clock);
    Reports reports;
    korvu::FocusTracker tracker{
        {.accessibility = accessibility, .screens = screens, .clock = [this] { return clock->now; }, .ownPID = kOwnPid}};
};

Reports reported(const QRectF& frame, pid_t pid = kAppPid) { return {FocusedField{pid, frame}}; }

TEST(FocusTracker, DecidesWhatCountsAsATextFieldAndWhereItIs)
{
    const auto settable = [](Role role) { return [role](Desk& d) { d.field(role)->makeSettable(); }; };
    const auto twoScreens = [](Desk& d, QRectF qt) {
        // A taller screen right of the primary, with a 30-row panel; it reaches 280 below.
        d.screens->screenList = {FakeScreenProvider::screen(QRectF(0, 0, 1280, 800)),
                                 FakeScreenProvider::screen(QRectF(1280, -280, 1920, 1080), 30)};
        d.field(Role::text, qt);
    };
    // Extents are device pixels: a primary scaled by 2 halves them about its corner; an
    // unscaled screen beside it (kept at its device position) takes them as they are.
    const auto scaled = [](Desk& d, QRectF device) {
        d.screens->screenList = {FakeScreenProvider::screen(QRectF(0, 0, 1280, 800), 0, 0, 2.0),
                                 FakeScreenProvider::screen(QRectF(2560, -280, 1920, 1080))};
        d.field(Role::text, device);
    };
    struct Case { const char* what; std::function<void(Desk&)> build; Reports expected; };
    const Case cases[] = {
        {"text", [](Desk& d) { d.field(Role::text); }, reported(kUp)},
        {"no focus", [](Desk&) {}, {}},
        {"button", [](Desk& d) { d.field(Role::other); }, {}},
        {"password", settable(Role::passwordText), {}},
        {"slider", settable(Role::slider), {}},
        {"spin button", settable(Role::spinButton), {}},
        {"scroll bar", settable(Role::scrollBar), {}},
        {"date editor", settable(Role::dateEditor), {}},
        {"unreadable states", [](Desk& d) { auto f = d.field(Role::other); f->editableText = true; f->nodeStates.reset(); }, {}},
        {"combo box", [](Desk& d) { d.field(Role::comboBox); }, {}},
        {"editable combo box", [](Desk& d) { d.field(Role::comboBox)->nodeStates->editable = true; }, reported(kUp)},
        {"number field", [](Desk& d) { auto f = d.field(Role::text); for (auto r : {Role::other, Role::other, Role::spinButton, Role::other}) f->add(r); }, {}},
        {"text with five parts", [](Desk& d) { auto f = d.field(Role::text); for (int i = 0; i < 5; ++i) f->add(i ? Role::other : Role::spinButton); }, reported(kUp)},
        {"role-less", [](Desk& d) { d.field(std::nullopt); }, {}},
        {"role-less editable", [](Desk& d) { d.field(std::nullopt)->nodeStates->editable = true; }, {}},
        {"role-less settable", [](Desk& d) { d.field(std::nullopt)->makeSettable(); }, reported(kUp)},
        {"role-less settable with a stepper", [](Desk& d) { auto f = d.field(std::nullopt); f->makeSettable(); f->add(Role::spinButton); }, {}},
        {"paragraph in a web editor",
         [](Desk& d) {
             auto editor = d.window->add(Role::documentWeb, QRectF(50, 50, 800, 600))->add(Role::other, QRectF(60, 60, 500, 300));
             editor->makeSettable();
             auto paragraph = editor->add(Role::entry, QRectF(70, 70, 400, 200))->add(Role::other, QRectF(80, 80, 300, 20));
             d.focus(paragraph)->makeSettable();
         },
         reported(QRectF(60, 440, 500, 300))},
        {"highest editable ancestor",
         [](Desk& d) {
             auto outer = d.window->add(Role::other, QRectF(60, 60, 600, 400));
             auto inner = outer->add(Role::other, QRectF(70, 70, 500, 300));
             outer->nodeStates->editable = inner->nodeStates->editable = true;
             d.focus(inner->add(Role::text, QRectF(80, 80, 300, 20)));
         },
         reported(QRectF(60, 340, 600, 400))},
        {"ten text parents: eight climbs", [](Desk& d) { d.chain(10, Role::text, {400, 30}); }, reported(QRectF(101, 670, 400, 30))},
        {"small anchor climbs",
         [](Desk& d) {
             auto strip = d.window->add(Role::other, QRectF(100, 100, 300, 40))->add(Role::other, QRectF(100, 100, 29, 40));
             d.focus(strip->add(Role::text, QRectF(100, 100, 20, 10)));
         },
         reported(QRectF(100, 660, 300, 40))},
        {"small anchor: six climbs", [](Desk& d) { d.chain(8, Role::other, {20, 10})->nodeRole = Role::text; }, reported(QRectF(101, 690, 20, 10))},
        {"half beyond the right edge", [](Desk& d) { d.field(Role::text, QRectF(1080, 100, 400, 30)); }, reported(QRectF(1080, 670, 200, 30))},
        {"under the panel", [](Desk& d) { d.field(Role::text, QRectF(100, 0, 400, 20)); }, {}},
        {"off every screen", [](Desk& d) { d.field(Role::text, QRectF(2000, 100, 400, 30)); }, {}},
        {"empty", [](Desk& d) { d.field(Role::text, QRectF(100, 100, 0, 30))->up.reset(); }, {}},
        {"negative", [](Desk& d) { d.field(Role::text, QRectF(100, 100, 400, -1))->up.reset(); }, {}},
        {"second screen", [&](Desk& d) { twoScreens(d, QRectF(1300, 900, 400, 30)); }, reported(QRectF(1300, -130, 400, 30))},
        {"off its bottom", [&](Desk& d) { twoScreens(d, QRectF(1300, 1060, 400, 40)); }, reported(QRectF(1300, -280, 400, 20))},
        {"across both", [&](Desk& d) { twoScreens(d, QRectF(1200, 100, 200, 30)); }, reported(QRectF(1200, 670, 80, 30))},
        {"second screen's panel", [&](Desk& d) { twoScreens(d, QRectF(1500, 5, 200, 20)); }, {}},
        {"scaled primary", [&](Desk& d) { scaled(d, QRectF(200, 200, 800, 60)); }, reported(QRectF(100, 670, 400, 30))},
        {"unscaled beside it", [&](Desk& d) { scaled(d, QRectF(2600, 100, 400, 30)); }, reported(QRectF(2600, 670, 400, 30))},
        {"no screens", [](Desk& d) { d.screens->screenList.clear(), d.field(Role::text); }, {}},
        {"own window in front", [](Desk& d) { d.accessibility->frontmost = kOwnPid, d.field(Role::text)->pid = kOwnPid; }, {}},
        {"own field", [](Desk& d) { d.field(Role::text)->pid = kOwnPid; }, {}},
        {"owner unknown", [](Desk& d) { d.field(Role::text)->pid = 0; }, {}},
        {"nothing in front", [](Desk& d) { d.accessibility->frontmost.reset(), d.field(Role::text); }, {}},
        {"not trusted", [](Desk& d) { d.accessibility->trusted = false, d.field(Role::text); }, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Desk desk;
        c.build(desk);
        EXPECT_EQ(desk.tick(), c.expected);
    }
}

TEST(FocusTracker, ReportsChangesOfFrameOrProcessOnlyAndNothingOnceWhenFocusOrTrustGoes)
{
    Desk d;
    auto field = d.field(Role::entry);
    d.tick();
    d.tick();
    field->nodeExtents = kRect.translated(1, 0);  // the window moves by one point
    d.tick();
    d.field(Role::text, kRect.translated(1, 0));  // another field, same process and frame
    d.tick();
    d.accessibility->frontmost = 5000;  // the same frame in another process
    d.field(Role::text, kRect.translated(1, 0))->pid = 5000;
    d.tick();
    d.accessibility->focused = nullptr;
    d.tick();
    d.tick();
    d.accessibility->frontmost = kAppPid;
    d.field(Role::text);
    d.tick();
    d.accessibility->trusted = false;
    d.tick();
    EXPECT_EQ(d.tick(), (Reports{FocusedField{kAppPid, kUp}, FocusedField{kAppPid, kUp.translated(1, 0)},
                                 FocusedField{5000, kUp.translated(1, 0)}, std::nullopt, FocusedField{kAppPid, kUp},
                                 std::nullopt}));
}

// Focus moves while the application answers each call in 100 ms: the poll stops calling
// once its 300 ms are spent and reports nothing, not even "no field".
TEST(FocusTracker, ASlowApplicationChangesNothingAndIsLeftAtTheBudget)
{
    Desk d;
    d.field(Role::text);
    d.tick();
    d.field(Role::text, kRect.translated(0, 200));
    d.clock->perCall = std::chrono::milliseconds(100);
    d.clock->calls = 0;
    EXPECT_EQ(d.tick().size(), 1U);
    EXPECT_LE(d.clock->calls, 3);
    d.clock->perCall = std::chrono::milliseconds(10);
    d.tick();
    d.accessibility->focused = nullptr;
    d.clock->perCall = std::chrono::milliseconds(400);
    EXPECT_EQ(d.tick(), (Reports{FocusedField{kAppPid, kUp}, FocusedField{kAppPid, kUp.translated(0, -200)}}));
}

// A callback that runs a nested event loop must not start a poll inside the running one;
// polls run on the event loop with the short time-out for calls into other programs.
TEST(FocusTracker, PollsOnTheEventLoopAndNeverNested)
{
    Desk d;
    auto field = d.field(Role::text);
    int calls = 0;
    d.tracker.onChange = [&](const std::optional<FocusedField>& reported) {
        ++calls;
        d.reports.push_back(reported);
        field->nodeExtents = kRect.translated(100, 0);
        d.tracker.tick();
    };
    d.tick();
    EXPECT_EQ(calls, 1);
    d.tracker.start();
    EXPECT_EQ(d.accessibility->timeout, std::chrono::milliseconds(150));
    ASSERT_TRUE(testsupport::spinUntil([&] { return d.reports.size() == 2; }));
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(d.reports, (Reports{FocusedField{kAppPid, kUp}, FocusedField{kAppPid, kUp.translated(100, 0)}}));
}

}  // namespace
