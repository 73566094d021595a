// The tracker over the real accessibility bus of the test session: the test target (a line
// edit, a password field and a spin box) is the frontmost application on the X display,
// and the tracker reports what its focus is in.
#include "X11/AtspiTree.h"

#include "Printers.h"
#include "X11/X11TestSupport.h"

#include "KorvuDarivir/Dictation/FocusTracker.h"
#include "Platform/Accessibility/AtspiAccessibility.h"
#include "Platform/Permissions/AccessibilityTrust.h"
#include "Platform/UI/ScreenCoordinates.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

using namespace x11test;
using korvu::FocusedField;
using korvu::FocusTracker;
using Role = platform::AccessibleRole;
using Reports = std::vector<std::optional<FocusedField>>;

FocusedField fieldAt(pid_t pid, const QRectF& qtRect)
{
    return {pid, platform::QtScreenProvider().fromDevicePixels(qtRect)->rect};
}

// The desktop's own parts, with time limits far above what the calls need: these tests
// are about what is found, the budget is tested on fake trees.
std::unique_ptr<FocusTracker> sessionTracker(std::shared_ptr<platform::AtspiAccessibility> accessibility, Reports& reports)
{
    accessibility->setMessagingTimeout(std::chrono::seconds(5));
    auto tracker = std::make_unique<FocusTracker>(FocusTracker::Environment{
        .accessibility = std::move(accessibility),
        .screens = std::make_shared<platform::QtScreenProvider>(),
        .clock = [] { return std::chrono::steady_clock::now(); },
        .ownPID = ::getpid(),
        .tickBudget = std::chrono::seconds(10),
        .messagingTimeout = std::chrono::seconds(5),
    });
    tracker->onChange = [&reports](const std::optional<FocusedField>& field) { reports.push_back(field); };
    return tracker;
}

guint refCount(void* object) { return G_OBJECT(object)->ref_count; }

// The reference count of the object's state set, less the one taken to read it.
guint stateSetRefCount(AtspiAccessible* object)
{
    AtspiStateSet* set = atspi_accessible_get_state_set(object);
    const guint count = refCount(set) - 1;
    g_object_unref(set);
    return count;
}

// Also: polls release every libatspi object they take, and change no desktop-wide
// setting. The flag that makes every program expose its tree is the user's to switch on.
TEST(FocusTrackerAtspi, ReportsTheLineEditNotPasswordOrNumberFieldsAndLeavesNothingBehind)
{
    const platform::AccessibilityBus bus;
    const auto flagBefore = bus.isEnabled();
    ASSERT_TRUE(bus.setEnabled(false));
    const struct Restore {
        const platform::AccessibilityBus& bus;
        std::optional<bool> value;
        ~Restore() { bus.setEnabled(value.value_or(false)); }
    } restore{bus, flagBefore};
    TargetApp target({"password", "spin"});
    ASSERT_TRUE(target.start()) << "the target program did not start";
    // Trusted by hand: the flag is off here, which makes the application's trust false.
    auto accessibility = std::make_shared<platform::AtspiAccessibility>([] { return true; });
    Reports reports;
    const auto tracker = sessionTracker(accessibility, reports);
    tracker->start();
    const FocusedField plain = fieldAt(target.pid(), target.editFrame());
    ASSERT_TRUE(spinUntil([&] { return reports.size() == 1; })) << "the line edit was never reported";
    EXPECT_EQ(reports.back(), plain);

    // Focusing a field that never counts makes the field disappear, and the next report is
    // the line edit again. The field is found, and left out because of what it is.
    for (const auto& [name, role] : {std::pair{"password", Role::passwordText}, std::pair{"spin", Role::spinButton}}) {
        SCOPED_TRACE(name);
        const std::size_t before = reports.size();
        ASSERT_TRUE(target.call(QByteArray("focus ") + name));
        ASSERT_TRUE(spinUntil([&] { return reports.size() == before + 1; }));
        EXPECT_EQ(reports.back(), std::nullopt);
        std::optional<Role> found;
        spinUntil([&] {
            const auto node = accessibility->focusedNode(target.pid(), std::chrono::steady_clock::now() + 30s);
            return (found = node ? node->role() : std::nullopt) == role;
        }, 30s);
        EXPECT_EQ(found, role);
        ASSERT_TRUE(target.call("focus plain"));
        ASSERT_TRUE(spinUntil([&] { return reports.size() == before + 2; }));
        EXPECT_EQ(reports.back(), plain);
    }

    const auto moved = target.call("move 300 260");  // the field is reported at its new place
    ASSERT_TRUE(moved);
    ASSERT_TRUE(spinUntil([&] { return reports.size() == 6; }));
    EXPECT_EQ(reports.back(), fieldAt(target.pid(), TargetApp::frame(*moved)));
    EXPECT_NE(reports.back(), plain);

    const Accessible field = findInApplication(target.pid(), [](AtspiAccessible* node) {
        AtspiStateSet* set = atspi_accessible_get_state_set(node);
        const bool focused = atspi_state_set_contains(set, ATSPI_STATE_FOCUSED);
        g_object_unref(set);
        return focused;
    });
    ASSERT_NE(field, nullptr);
    const Accessible parent(atspi_accessible_get_parent(field.get(), nullptr));
    ASSERT_NE(parent, nullptr);
    const guint fieldRefs = refCount(field.get()), parentRefs = refCount(parent.get());
    const guint stateRefs = stateSetRefCount(field.get());
    for (int i = 0; i < 20; ++i) tracker->tick();
    EXPECT_EQ(reports.size(), 6U);
    EXPECT_EQ(refCount(field.get()), fieldRefs);
    EXPECT_EQ(refCount(parent.get()), parentRefs);
    EXPECT_EQ(stateSetRefCount(field.get()), stateRefs);
    QCoreApplication::processEvents();
    EXPECT_EQ(bus.isEnabled(), std::optional<bool>(false));
}

}  // namespace
