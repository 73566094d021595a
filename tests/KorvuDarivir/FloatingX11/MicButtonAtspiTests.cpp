#include "TestPaths.h"
#include "X11TestSupport.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

#include <atspi/atspi.h>

#include <gtest/gtest.h>

#include <memory>

using namespace x11test;

namespace {

struct Unref {
    void operator()(void* object) const { g_object_unref(object); }
};
using Accessible = std::unique_ptr<AtspiAccessible, Unref>;

QString take(gchar* text)
{
    const QString result = QString::fromUtf8(text != nullptr ? text : "");
    g_free(text);
    return result;
}

// The first push button below `node`, depth first.
Accessible findPushButton(AtspiAccessible* node, int depth = 0)
{
    if (atspi_accessible_get_role(node, nullptr) == ATSPI_ROLE_PUSH_BUTTON) {
        return Accessible(static_cast<AtspiAccessible*>(g_object_ref(node)));
    }
    const int count = depth < 8 ? atspi_accessible_get_child_count(node, nullptr) : 0;
    for (int i = 0; i < count; ++i) {
        Accessible child(atspi_accessible_get_child_at_index(node, i, nullptr));
        if (child) {
            if (Accessible found = findPushButton(child.get(), depth + 1)) return found;
        }
    }
    return {};
}

// The push button of the application with process id `pid`, once it is on the bus.
Accessible buttonOf(qint64 pid)
{
    Accessible desktop(atspi_get_desktop(0));
    const int count = atspi_accessible_get_child_count(desktop.get(), nullptr);
    for (int i = 0; i < count; ++i) {
        Accessible app(atspi_accessible_get_child_at_index(desktop.get(), i, nullptr));
        if (app && atspi_accessible_get_process_id(app.get(), nullptr) == static_cast<guint>(pid)) {
            return findPushButton(app.get());
        }
    }
    return {};
}

// The host program of the button, driven line by line.
class Host {
public:
    Host()
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
        process.setProcessEnvironment(environment);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QObject::connect(&process, &QProcess::readyReadStandardOutput, [this] {
            while (process.canReadLine()) lines << QString::fromUtf8(process.readLine()).trimmed();
        });
        process.start(QString::fromUtf8(testsupport::kBinDir) + "/korvu-test-mic-button-host", {});
    }
    ~Host()
    {
        process.write("quit\n");
        if (!process.waitForFinished(5000)) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
    QProcess process;
    QStringList lines;
};

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
    Host host;
    ASSERT_TRUE(waitUntil([&] { return host.lines.contains("READY"); }, 30s)) << "the button's program did not come up";

    Accessible button;
    ASSERT_TRUE(waitUntil([&] { return (button = buttonOf(host.process.processId())) != nullptr; }, 30s))
        << "no push button of the program on the accessibility bus";
    EXPECT_EQ(take(atspi_accessible_get_name(button.get(), nullptr)), "Diktat starten");

    // Its press action clicks it.
    std::unique_ptr<AtspiAction, Unref> action(atspi_accessible_get_action_iface(button.get()));
    ASSERT_NE(action, nullptr);
    int press = -1;
    for (int i = 0; i < atspi_action_get_n_actions(action.get(), nullptr); ++i) {
        if (take(atspi_action_get_action_name(action.get(), i, nullptr)).compare("press", Qt::CaseInsensitive) == 0) {
            press = i;
        }
    }
    ASSERT_GE(press, 0) << "no press action";
    atspi_action_do_action(action.get(), press, nullptr);
    EXPECT_TRUE(waitUntil([&] { return host.lines.contains("CLICKED"); }));

    // A new state is announced with its label. The program learns of the listener a little
    // later, so the state goes back and forth until the announcement arrives.
    QStringList names;
    std::unique_ptr<AtspiEventListener, Unref> listener(atspi_event_listener_new(&noteName, &names, nullptr));
    ASSERT_TRUE(atspi_event_listener_register(listener.get(), "object:property-change:accessible-name", nullptr));
    bool recording = false;
    const bool announced = waitUntil(
        [&] {
            if (names.contains("Aufnahme läuft, klicken zum Beenden")) return true;
            recording = !recording;
            host.process.write(recording ? "state rec\n" : "state idle\n");
            spin(200ms);
            return false;
        },
        30s);
    atspi_event_listener_deregister(listener.get(), "object:property-change:accessible-name", nullptr);
    EXPECT_TRUE(announced) << "heard: " << names.join(", ").toStdString();
}
