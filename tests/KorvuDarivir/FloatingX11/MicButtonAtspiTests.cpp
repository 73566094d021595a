#include "AtspiTree.h"
#include "X11TestSupport.h"

#include <gtest/gtest.h>

using namespace x11test;

namespace {

QString take(gchar* text)
{
    const QString result = QString::fromUtf8(text != nullptr ? text : "");
    g_free(text);
    return result;
}

void noteName(AtspiEvent* event, void* names)
{
    if (event->source != nullptr) {
        static_cast<QStringList*>(names)->append(take(atspi_accessible_get_name(event->source, nullptr)));
    }
    g_boxed_free(ATSPI_TYPE_EVENT, event);
}

}  // namespace

TEST(MicButtonX11, ScreenReadersFindAPushButtonThatPressesAndHearItsNewLabel)
{
    ASSERT_GE(atspi_init(), 0);
    TargetApp host({"mic-button"});
    ASSERT_TRUE(host.start()) << "the button's program did not come up";
    Accessible button;
    ASSERT_TRUE(spinUntil([&] {
        button = findInApplication(host.pid(), [](AtspiAccessible* node) {
            return atspi_accessible_get_role(node, nullptr) == ATSPI_ROLE_PUSH_BUTTON;
        });
        return button != nullptr;
    })) << "no push button of the program on the accessibility bus";
    EXPECT_EQ(take(atspi_accessible_get_name(button.get(), nullptr)), "Diktat starten");

    std::unique_ptr<AtspiAction, GUnref> action(atspi_accessible_get_action_iface(button.get()));
    ASSERT_NE(action, nullptr);
    EXPECT_EQ(take(atspi_action_get_action_name(action.get(), 0, nullptr)).toLower(), "press");
    atspi_action_do_action(action.get(), 0, nullptr);
    EXPECT_TRUE(spinUntil([&] { return host.clicks() == 1; }));

    // A new state is announced with its label. The program learns of the listener a little
    // later, so the state goes back and forth until the announcement arrives.
    QStringList names;
    std::unique_ptr<AtspiEventListener, GUnref> listener(atspi_event_listener_new(&noteName, &names, nullptr));
    ASSERT_TRUE(atspi_event_listener_register(listener.get(), "object:property-change:accessible-name", nullptr));
    bool recording = false;
    const bool announced = spinUntil([&] {
        if (names.contains("Aufnahme läuft, klicken zum Beenden")) return true;
        recording = !recording;
        host.call(recording ? "state rec" : "state idle");
        spinFor(200ms);
        return false;
    }, 60s);
    atspi_event_listener_deregister(listener.get(), "object:property-change:accessible-name", nullptr);
    EXPECT_TRUE(announced) << "heard: " << names.join(", ").toStdString();
}
