// The tracker over the real accessibility bus of the test session: a program of the test
// (a Qt window with a line edit, a password field and a spin box) is the frontmost
// application on the X display, and the tracker reports what its focus is in.
// libatspi before Qt, whose keyword macros must not reach the GLib headers.
#include <atspi/atspi.h>

#include "Printers.h"

#include "TargetProgram.h"

#include "KorvuDarivir/Dictation/FocusTracker.h"
#include "Platform/Accessibility/AtspiAccessibility.h"
#include "Platform/Permissions/AccessibilityTrust.h"
#include "Platform/UI/ScreenCoordinates.h"

#include <QGuiApplication>

#include <gtest/gtest.h>

#include <unistd.h>


namespace {

using focustest::kPatience;
using focustest::Target;
using focustest::waitFor;
using korvu::FocusedField;
using korvu::FocusTracker;
using Reports = std::vector<std::optional<FocusedField>>;

// The role of the object that has the focus in `process`, once it is `wanted`; the
// last role seen otherwise.
std::optional<platform::AccessibleRole> focusedRole(platform::Accessibility& accessibility, pid_t process,
                                                   platform::AccessibleRole wanted)
{
    std::optional<platform::AccessibleRole> role;
    waitFor([&] {
        const auto node = accessibility.focusedNode(process, std::chrono::steady_clock::now() + kPatience);
        role = node ? node->role() : std::nullopt;
        return role == wanted;
    });
    return role;
}

FocusedField fieldAt(pid_t pid, const QRectF& qtRect)
{
    return {pid, platform::QtScreenProvider().fromDevicePixels(qtRect)->rect};
}

// The desktop's own parts, with time limits far above what the calls need: these tests
// are about what is found, the budget is tested on fake trees.
FocusTracker::Environment sessionEnvironment(std::shared_ptr<platform::AtspiAccessibility> accessibility)
{
    return {
        .accessibility = std::move(accessibility),
        .screens = std::make_shared<platform::QtScreenProvider>(),
        .clock = [] { return std::chrono::steady_clock::now(); },
        .ownPID = ::getpid(),
        .tickBudget = std::chrono::seconds(10),
        .messagingTimeout = std::chrono::seconds(5),
    };
}

TEST(FocusTrackerAtspi, ReportsTheLineEditAndNothingForPasswordOrNumberFields)
{
    ASSERT_FALSE(qEnvironmentVariableIsEmpty("DISPLAY")) << "run inside scripts/with-test-session.sh";
    ASSERT_EQ(QGuiApplication::platformName(), "xcb");

    Target target;
    const auto plain = target.await("ready", "plain");
    ASSERT_TRUE(plain) << "the target program did not start";

    auto accessibility = std::make_shared<platform::AtspiAccessibility>();
    // The application's trust is learned asynchronously, within a poll or two.
    ASSERT_TRUE(waitFor([&] { return accessibility->isTrusted(); })) << "the accessibility bus is not reachable";
    FocusTracker tracker(sessionEnvironment(accessibility));
    Reports reports;
    tracker.onChange = [&](const std::optional<FocusedField>& field) { reports.push_back(field); };
    tracker.start();

    ASSERT_TRUE(waitFor([&] { return reports.size() >= 1; })) << "the line edit was never reported";
    EXPECT_EQ(reports.back(), fieldAt(target.pid(), *plain));

    // A field that never counts: focusing it makes the field disappear, and the next report
    // is the line edit again, so nothing about that field came in between. It is found,
    // and left out because of what it is.
    const auto focusExcludedThenBack = [&](const char* name, platform::AccessibleRole role) {
        const std::size_t before = reports.size();
        target.send(QString("focus ") + name);
        ASSERT_TRUE(target.await("focused", name));
        ASSERT_TRUE(waitFor([&] { return reports.size() >= before + 1; }));
        EXPECT_EQ(reports.back(), std::nullopt);
        EXPECT_EQ(focusedRole(*accessibility, target.pid(), role), role);
        target.send("focus plain");
        ASSERT_TRUE(target.await("focused", "plain"));
        ASSERT_TRUE(waitFor([&] { return reports.size() >= before + 2; }));
        EXPECT_EQ(reports.back(), fieldAt(target.pid(), *plain));
    };
    focusExcludedThenBack("password", platform::AccessibleRole::passwordText);
    ASSERT_FALSE(HasFatalFailure());
    focusExcludedThenBack("spin", platform::AccessibleRole::spinButton);
    ASSERT_FALSE(HasFatalFailure());

    // The window moves: the field is reported at its new place.
    target.send("move 300 260");
    const auto moved = target.await("moved", "plain");
    ASSERT_TRUE(moved);
    ASSERT_NE(*moved, *plain);
    ASSERT_TRUE(waitFor([&] { return reports.size() >= 6; }));
    EXPECT_EQ(reports.back(), fieldAt(target.pid(), *moved));
    EXPECT_EQ(reports.size(), 6U);
}

// A libatspi object seen from the test, released on scope exit.
struct Held {
    AtspiAccessible* object = nullptr;
    explicit Held(AtspiAccessible* adopted) : object(adopted) {}
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    ~Held()
    {
        if (object != nullptr) {
            g_object_unref(object);
        }
    }
};

guint refCount(AtspiAccessible* object) { return G_OBJECT(object)->ref_count; }

// The reference count of the object's state set, less the one taken to read it.
guint stateSetRefCount(AtspiAccessible* object)
{
    AtspiStateSet* set = atspi_accessible_get_state_set(object);
    const guint count = G_OBJECT(set)->ref_count - 1;
    g_object_unref(set);
    return count;
}

// The focused object of the application owned by `pid`, found the slow way.
AtspiAccessible* findFocused(AtspiAccessible* node, int depth)
{
    AtspiStateSet* set = atspi_accessible_get_state_set(node);
    const bool focused = atspi_state_set_contains(set, ATSPI_STATE_FOCUSED);
    g_object_unref(set);
    if (focused) {
        return static_cast<AtspiAccessible*>(g_object_ref(node));
    }
    const int count = depth < 8 ? atspi_accessible_get_child_count(node, nullptr) : 0;
    for (int i = 0; i < count; ++i) {
        Held child(atspi_accessible_get_child_at_index(node, i, nullptr));
        if (child.object != nullptr) {
            if (AtspiAccessible* found = findFocused(child.object, depth + 1)) {
                return found;
            }
        }
    }
    return nullptr;
}

AtspiAccessible* focusedObjectOf(pid_t pid)
{
    Held desktop(atspi_get_desktop(0));
    const int count = atspi_accessible_get_child_count(desktop.object, nullptr);
    for (int i = 0; i < count; ++i) {
        Held application(atspi_accessible_get_child_at_index(desktop.object, i, nullptr));
        if (application.object != nullptr
            && atspi_accessible_get_process_id(application.object, nullptr) == static_cast<guint>(pid)) {
            return findFocused(application.object, 0);
        }
    }
    return nullptr;
}

// Also: polling changes no desktop-wide setting. The accessibility flag that makes every
// program expose its tree is the user's to switch on (through the permission request).
TEST(FocusTrackerAtspi, PollsReleaseEveryObjectTheyTakeAndLeaveTheDesktopFlagAlone)
{
    ASSERT_FALSE(qEnvironmentVariableIsEmpty("DISPLAY")) << "run inside scripts/with-test-session.sh";
    const platform::AccessibilityBus bus;
    const auto flagBefore = bus.isEnabled();
    ASSERT_TRUE(bus.setEnabled(false));
    struct Restore {
        const platform::AccessibilityBus& bus;
        std::optional<bool> value;
        ~Restore() { bus.setEnabled(value.value_or(false)); }
    } restore{bus, flagBefore};
    Target target;
    const auto plain = target.await("ready", "plain");
    ASSERT_TRUE(plain) << "the target program did not start";

    // Trusted by hand: the flag is off here, which makes the application's trust false.
    auto accessibility = std::make_shared<platform::AtspiAccessibility>([] { return true; });
    ASSERT_TRUE(accessibility->isTrusted());
    FocusTracker tracker(sessionEnvironment(accessibility));
    accessibility->setMessagingTimeout(std::chrono::seconds(5));
    Reports reports;
    tracker.onChange = [&](const std::optional<FocusedField>& field) { reports.push_back(field); };
    ASSERT_TRUE(waitFor([&] {
        tracker.tick();
        return !reports.empty();
    })) << "the line edit was never reported";

    Held field(focusedObjectOf(target.pid()));
    ASSERT_NE(field.object, nullptr);
    Held parent(atspi_accessible_get_parent(field.object, nullptr));
    ASSERT_NE(parent.object, nullptr);
    const guint fieldRefs = refCount(field.object);
    const guint parentRefs = refCount(parent.object);
    const guint stateRefs = stateSetRefCount(field.object);

    for (int i = 0; i < 20; ++i) {
        tracker.tick();
    }
    EXPECT_EQ(reports.size(), 1U);
    EXPECT_EQ(refCount(field.object), fieldRefs);
    EXPECT_EQ(refCount(parent.object), parentRefs);
    EXPECT_EQ(stateSetRefCount(field.object), stateRefs);
    QCoreApplication::processEvents();
    EXPECT_EQ(bus.isEnabled(), std::optional<bool>(false));
}

}  // namespace
