// The permission requests over a replaceable system, the accessibility trust against an
// accessibility launcher of the test's own on a private bus, and the choice of the
// settings program.
#include "KorvuDarivir/Dictation/Permissions.h"
#include "Platform/Permissions/AccessibilityTrust.h"
#include "Platform/Permissions/SettingsLauncher.h"
#include "fakes/FakePermissionSystem.h"
#include "support/QtWait.h"
#include "support/TempDir.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QProcess>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <thread>
#include <vector>

namespace korvu {
namespace {

using fakes::FakePermissionSystem;
using Mic = MicrophoneAuthorization;

// Authorized answers before the call returns; denied and restricted open the pane each
// time and answer false; undetermined asks the user, whose answer comes on a thread of the
// system's and reaches the caller later on the main thread.
TEST(Permissions, MicrophoneRequestInEveryState)
{
    struct Case {
        Mic state;
        std::optional<bool> user;
        bool granted;
        bool panes;
    };
    const Case cases[] = {{Mic::authorized, {}, true, false}, {Mic::denied, {}, false, true},
                          {Mic::restricted, {}, false, true}, {Mic::notDetermined, true, true, false},
                          {Mic::notDetermined, false, false, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.state));
        FakePermissionSystem system;
        system.microphone = c.state;
        std::vector<bool> answers;
        std::vector<QThread*> threads;
        for (int i = 0; i < 2; ++i) {
            Permissions::requestMicrophone(
                [&](bool granted) {
                    answers.push_back(granted);
                    threads.push_back(QThread::currentThread());
                },
                system);
        }
        EXPECT_EQ(system.pendingAnswers.size(), c.user ? 2u : 0u);
        if (c.user) {
            EXPECT_TRUE(answers.empty()) << "answered before the user did";
            std::thread([&] {
                for (const auto& answer : system.pendingAnswers) answer(*c.user);
            }).join();
            EXPECT_TRUE(answers.empty()) << "answered on the system's thread";
            ASSERT_TRUE(testsupport::spinUntil([&] { return answers.size() == 2; }));
        }
        EXPECT_EQ(answers, std::vector<bool>(2, c.granted));
        EXPECT_EQ(threads, std::vector<QThread*>(2, QCoreApplication::instance()->thread()));
        EXPECT_EQ(system.openedPanes, std::vector<PrivacyPane>(c.panes ? 2 : 0, PrivacyPane::microphone));
    }
}

// The request prompts and opens the pane, trusted or not; where no settings program can show
// a pane, the answer is a hint that says where the setting is, never silence. Under
// Wayland a window that is no X11 program gets a hint of its own, not "Bedienungshilfen
// fehlen", which the user could not mend.
TEST(Permissions, AccessibilityRequestAndWhatStandsInTheWayOfInserting)
{
    for (const bool trusted : {true, false}) {
        for (const bool panesOpen : {true, false}) {
            FakePermissionSystem system;
            system.trusted = trusted;
            system.panesOpen = panesOpen;
            const auto hint = Permissions::requestAccessibility(system);
            EXPECT_EQ(system.prompts, 1);
            EXPECT_EQ(system.openedPanes, std::vector<PrivacyPane>{PrivacyPane::accessibility});
            EXPECT_EQ(hint.has_value(), !panesOpen);
            if (hint) EXPECT_TRUE(hint->detail.contains(QStringLiteral("Barrierefreiheit")));
            system.openedPanes.clear();
            const auto microphone = Permissions::openPane(PrivacyPane::microphone, system);
            EXPECT_EQ(microphone.has_value(), !panesOpen);
            if (microphone) EXPECT_TRUE(microphone->detail.contains(QStringLiteral("Toneinstellungen")));
        }
    }
    const auto wayland = Permissions::waylandHint();
    const auto missing = Permissions::accessibilityMissingHint();
    EXPECT_NE(wayland.title, missing.title);
    struct Case {
        bool wayland, x11Target, trusted;
        std::optional<PermissionHint> obstacle;
    };
    const Case cases[] = {{false, false, true, {}},     {false, true, true, {}},      {false, false, false, missing},
                          {true, true, true, {}},       {true, false, true, wayland}, {true, false, false, wayland},
                          {true, true, false, missing}};
    for (const Case& c : cases) {
        FakePermissionSystem system;
        system.wayland = c.wayland;
        system.trusted = c.trusted;
        EXPECT_EQ(Permissions::insertionObstacle(c.x11Target, system), c.obstacle)
            << c.wayland << c.x11Target << c.trusted;
    }
}

// An accessibility launcher: answers GetAddress and keeps the IsEnabled flag.
class FakeLauncher : public QDBusVirtualObject {
public:
    FakeLauncher(QString address, bool enabled) : address_(std::move(address)), enabled_(enabled) {}
    std::atomic<int> addressCalls{0};
    std::atomic<bool> enabled_;

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override
    {
        const auto arguments = message.arguments();
        if (message.member() == QStringLiteral("GetAddress")) {
            ++addressCalls;
            return connection.send(message.createReply(address_));
        }
        if (arguments.size() < 2 || arguments[1].toString() != QStringLiteral("IsEnabled")) return false;
        if (message.member() == QStringLiteral("Set") && arguments.size() == 3) {
            enabled_ = arguments[2].value<QDBusVariant>().variant().toBool();
            return connection.send(message.createReply());
        }
        return connection.send(message.createReply(QVariant::fromValue(QDBusVariant(enabled_.load()))));
    }
    QString introspect(const QString&) const override { return {}; }

private:
    QString address_;
};

// A session bus of the test's own (a dbus-daemon without service files, so nothing on it is
// ever activated), and on it, once started, the launcher. The launcher answers on a thread
// of its own, as the real one answers from a process of its own.
class LauncherBus {
public:
    LauncherBus()
    {
        std::ofstream(folder_ / "bus.conf")
            << "<busconfig><type>session</type><listen>unix:dir=" << folder_.path().string()
            << "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
               "<allow own=\"*\"/></policy></busconfig>\n";
        daemon_.start(QStringLiteral("dbus-daemon"),
                      {QStringLiteral("--config-file=%1").arg(QString::fromStdString((folder_ / "bus.conf").string())),
                       QStringLiteral("--print-address"), QStringLiteral("--nofork")});
        while (!daemon_.canReadLine() && daemon_.waitForReadyRead(10000)) {
        }
        address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
        EXPECT_FALSE(address_.isEmpty()) << "dbus-daemon printed no address";
        session_.emplace(QDBusConnection::connectToBus(address_, QStringLiteral("korvu-test-session")));
        thread_.start();
    }
    ~LauncherBus()
    {
        if (side_) {
            side_->unregisterObject(QStringLiteral("/org/a11y/bus"));
            side_.reset();
            QDBusConnection::disconnectFromBus(QStringLiteral("korvu-test-launcher"));
        }
        thread_.quit();
        thread_.wait();
        session_.reset();
        QDBusConnection::disconnectFromBus(QStringLiteral("korvu-test-session"));
        daemon_.kill();
        daemon_.waitForFinished(10000);
    }
    // Puts the launcher on the bus; an empty address hands out this bus itself.
    FakeLauncher& startLauncher(const QString& address, bool enabled)
    {
        launcher_ = std::make_unique<FakeLauncher>(address.isEmpty() ? address_ : address, enabled);
        launcher_->moveToThread(&thread_);
        side_.emplace(QDBusConnection::connectToBus(address_, QStringLiteral("korvu-test-launcher")));
        EXPECT_TRUE(side_->registerVirtualObject(QStringLiteral("/org/a11y/bus"), launcher_.get()));
        EXPECT_TRUE(side_->registerService(QStringLiteral("org.a11y.Bus")));
        return *launcher_;
    }
    QDBusConnection session() const { return *session_; }

private:
    testsupport::TempDir folder_;
    QProcess daemon_;
    QString address_;
    std::optional<QDBusConnection> session_;
    std::optional<QDBusConnection> side_;
    QThread thread_;
    std::unique_ptr<FakeLauncher> launcher_;
};

// The trust is asked every second and at every dictation start on the main thread: it
// answers from what it learned, learns asynchronously, and sees a launcher that appears
// after the application started.
TEST(AccessibilityTrust, AnswersWithoutWaitingAndSeesALauncherThatAppearsLater)
{
    LauncherBus bus;
    platform::AccessibilityTrust trust(bus.session(), [] { return true; });
    ASSERT_TRUE(testsupport::spinUntil([&] { return !trust.isRefreshing(); }));
    EXPECT_FALSE(trust.isTrusted()) << "no launcher";
    FakeLauncher& launcher = bus.startLauncher(QString(), true);
    ASSERT_TRUE(testsupport::spinUntil([&] { return trust.isTrusted(); }));
    const int before = launcher.addressCalls;
    for (int i = 0; i < 1000; ++i) EXPECT_TRUE(trust.isTrusted());
    EXPECT_LE(launcher.addressCalls - before, 1) << "a thousand questions cost more than one round of learning";
}

TEST(AccessibilityTrust, NeedsTheBusTheFlagAndSyntheticInputAndTheRequestSwitchesTheFlagOn)
{
    struct Case {
        const char* what;
        QString address;  // empty: the launcher hands out a bus that answers
        bool enabled;
        bool syntheticInput;
        bool trusted;
    };
    const Case cases[] = {
        {"all there", QString(), true, true, true},
        {"a bus that is gone", QStringLiteral("unix:path=/nonexistent/korvu-a11y-bus"), true, true, false},
        {"the flag off", QString(), false, true, false},
        {"no synthetic input", QString(), true, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LauncherBus bus;
        FakeLauncher& launcher = bus.startLauncher(c.address, c.enabled);
        platform::AccessibilityTrust trust(bus.session(), [input = c.syntheticInput] { return input; });
        ASSERT_TRUE(testsupport::spinUntil([&] { return !trust.isRefreshing(); }));
        EXPECT_EQ(trust.isTrusted(), c.trusted);
        if (!c.enabled) {
            trust.requestEnabled();
            EXPECT_TRUE(testsupport::spinUntil([&] { return trust.isTrusted(); }));
            EXPECT_TRUE(launcher.enabled_);
        }
    }
}

TEST(AccessibilityTrust, WaylandIsToldFromItsEnvironmentAndAMissingDisplayHasNoSyntheticInput)
{
    const QByteArray wayland = qgetenv("WAYLAND_DISPLAY");
    const QByteArray session = qgetenv("XDG_SESSION_TYPE");
    const QByteArray display = qgetenv("DISPLAY");
    const std::tuple<const char*, const char*, bool> cases[] = {
        {"", "x11", false}, {"wayland-0", "", true}, {"", "wayland", true}, {"", "", false}};
    for (const auto& [waylandDisplay, sessionType, isWayland] : cases) {
        qputenv("WAYLAND_DISPLAY", waylandDisplay);
        qputenv("XDG_SESSION_TYPE", sessionType);
        EXPECT_EQ(platform::isWaylandSession(), isWayland) << waylandDisplay << "/" << sessionType;
    }
    qputenv("DISPLAY", ":4711");
    EXPECT_FALSE(platform::syntheticInputAvailable()) << "a display that is not there";
    const std::pair<const char*, QByteArray> saved[] = {
        {"WAYLAND_DISPLAY", wayland}, {"XDG_SESSION_TYPE", session}, {"DISPLAY", display}};
    for (const auto& [name, value] : saved) {
        if (value.isNull()) qunsetenv(name);
        else qputenv(name, value);
    }
}

// The current desktop's program comes first; an installed program of another desktop
// stands in; none where nothing is installed.
TEST(SettingsLauncher, TheCurrentDesktopsProgramOrAnInstalledOne)
{
    using platform::SettingsLauncher;
    using Pane = platform::SettingsPane;
    const auto all = [](const QString&) { return true; };
    const auto pavucontrol = [](const QString& program) { return program == QStringLiteral("pavucontrol"); };
    const auto none = [](const QString&) { return false; };
    struct Case {
        Pane pane;
        const char* desktop;
        std::function<bool(const QString&)> installed;
        std::optional<SettingsLauncher::Command> command;
    };
    const Case cases[] = {
        {Pane::microphone, "GNOME", all, {{"gnome-control-center", {"sound"}}}},
        {Pane::accessibility, "ubuntu:GNOME", all, {{"gnome-control-center", {"universal-access"}}}},
        {Pane::accessibility, "KDE", all, {{"systemsettings", {"kcm_access"}}}},
        {Pane::microphone, "XFCE", all, {{"pavucontrol", {"--tab=4"}}}},
        {Pane::microphone, "GNOME", pavucontrol, {{"pavucontrol", {"--tab=4"}}}},
        {Pane::accessibility, "GNOME", pavucontrol, {}},
        {Pane::microphone, "", none, {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SettingsLauncher::commandFor(c.pane, QString::fromLatin1(c.desktop), c.installed), c.command)
            << c.desktop << " " << static_cast<int>(c.pane);
    }
}

}  // namespace
}  // namespace korvu
