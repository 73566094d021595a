// The permission requests over a replaceable system, the accessibility trust against an
// accessibility launcher of the test's own on a private bus, and the choice of the
// settings program.
#include "KorvuDarivir/Store/Permissions.h"
#include "Platform/Permissions/AccessibilityTrust.h"
#include "Platform/Permissions/SettingsLauncher.h"
#include "PrivateBus.h"
#include "fakes/FakePermissionSystem.h"
#include "support/QtWait.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
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
    // The state, the user's answer when asked, what the caller hears, whether the pane opens.
    const std::tuple<Mic, std::optional<bool>, bool, bool> cases[] = {
        {Mic::authorized, {}, true, false},    {Mic::denied, {}, false, true},         {Mic::restricted, {}, false, true},
        {Mic::notDetermined, true, true, false}, {Mic::notDetermined, false, false, false}};
    for (const auto& [state, user, granted, panes] : cases) {
        SCOPED_TRACE(static_cast<int>(state));
        FakePermissionSystem system;
        system.microphone = state;
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
        EXPECT_EQ(system.pendingAnswers.size(), user ? 2u : 0u);
        if (user) {
            EXPECT_TRUE(answers.empty()) << "answered before the user did";
            std::thread([&] {
                for (const auto& answer : system.pendingAnswers) answer(*user);
            }).join();
            EXPECT_TRUE(answers.empty()) << "answered on the system's thread";
            ASSERT_TRUE(testsupport::spinUntil([&] { return answers.size() == 2; }));
        }
        EXPECT_EQ(answers, std::vector<bool>(2, granted));
        EXPECT_EQ(threads, std::vector<QThread*>(2, QCoreApplication::instance()->thread()));
        EXPECT_EQ(system.openedPanes(), std::vector<PrivacyPane>(panes ? 2 : 0, PrivacyPane::microphone));
    }
}

// The request prompts and opens the pane, trusted or not; where no settings program can show
// a pane, the answer is a hint that says where the setting is, never silence. Under
// Wayland a window that is no X11 program gets a hint of its own, not "Bedienungshilfen
// fehlen", which the user could not mend.
TEST(Permissions, AccessibilityRequestAndWhatStandsInTheWayOfInserting)
{
    for (const bool panesOpen : {true, false}) {
        FakePermissionSystem system;
        system.trusted = panesOpen;
        system.panesOpen = panesOpen;
        const auto hint = Permissions::requestAccessibility(system);
        EXPECT_EQ(system.prompts, 1);
        EXPECT_EQ(system.openedPanes(), std::vector<PrivacyPane>{PrivacyPane::accessibility});
        EXPECT_EQ(hint.has_value(), !panesOpen);
        if (hint) {
            EXPECT_TRUE(hint->detail.contains(QStringLiteral("Barrierefreiheit")));
        }
        const auto microphone = Permissions::openPane(PrivacyPane::microphone, system);
        EXPECT_EQ(microphone.has_value(), !panesOpen);
        if (microphone) {
            EXPECT_TRUE(microphone->detail.contains(QStringLiteral("Toneinstellungen")));
        }
    }
    const auto wayland = Permissions::waylandHint();
    const auto missing = Permissions::accessibilityMissingHint();
    EXPECT_NE(wayland.title, missing.title);
    // A Wayland session, an X11 program as the target, trusted: what stands in the way.
    const std::tuple<bool, bool, bool, std::optional<PermissionHint>> cases[] = {
        {false, false, true, {}},   {false, true, true, {}},      {false, false, false, missing}, {true, true, true, {}},
        {true, false, true, wayland}, {true, false, false, wayland}, {true, true, false, missing}};
    for (const auto& [waylandSession, x11Target, trusted, obstacle] : cases) {
        FakePermissionSystem system;
        system.wayland = waylandSession;
        system.trusted = trusted;
        EXPECT_EQ(Permissions::insertionObstacle(x11Target, system), obstacle) << waylandSession << x11Target << trusted;
    }
}

// An accessibility launcher: answers GetAddress and keeps the IsEnabled flag. Not a fake of
// one of our interfaces (those live in tests/fakes): a peer service on a private bus that the
// real accessibility code talks to over D-Bus, as it talks to the desktop's launcher.
class FakeLauncher : public QDBusVirtualObject {
public:
    FakeLauncher(QString address, bool enabled) : enabled_(enabled), address_(std::move(address)) {}
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

// A private session bus and on it, once started, the launcher. The launcher answers on a
// thread of its own, as the real one answers from a process of its own.
class LauncherBus {
public:
    LauncherBus()
    {
        session_.emplace(QDBusConnection::connectToBus(bus_.address(), QStringLiteral("korvu-test-session")));
        thread_.start();
    }
    ~LauncherBus()
    {
        QDBusConnection::disconnectFromBus(QStringLiteral("korvu-test-launcher"));
        thread_.quit();
        thread_.wait();
        session_.reset();
        QDBusConnection::disconnectFromBus(QStringLiteral("korvu-test-session"));
    }
    // Puts the launcher on the bus; an empty address hands out this bus itself.
    FakeLauncher& startLauncher(const QString& address, bool enabled)
    {
        launcher_ = std::make_unique<FakeLauncher>(address.isEmpty() ? bus_.address() : address, enabled);
        launcher_->moveToThread(&thread_);
        QDBusConnection side = QDBusConnection::connectToBus(bus_.address(), QStringLiteral("korvu-test-launcher"));
        EXPECT_TRUE(side.registerVirtualObject(QStringLiteral("/org/a11y/bus"), launcher_.get()));
        EXPECT_TRUE(side.registerService(QStringLiteral("org.a11y.Bus")));
        return *launcher_;
    }
    QDBusConnection session() const { return *session_; }

private:
    PrivateBus bus_;
    std::optional<QDBusConnection> session_;
    QThread thread_;
    std::unique_ptr<FakeLauncher> launcher_;
};

// Trusted needs the bus, the flag and synthetic input; the user's request switches the flag
// on. The trust is asked every second and at every dictation start on the main thread: it
// answers from what it learned, learns asynchronously, and sees a launcher that appears
// after the application started.
TEST(AccessibilityTrust, NeedsTheBusTheFlagAndSyntheticInputAndAnswersWithoutWaiting)
{
    struct Case {
        const char* what;
        QString address;  // empty: the launcher hands out a bus that answers
        bool enabled;
        bool syntheticInput;
        bool trusted;
        bool appearsLater = false;
    };
    const Case cases[] = {
        {"all there", QString(), true, true, true},
        {"all there, the launcher appears later", QString(), true, true, true, true},
        {"a bus that is gone", QStringLiteral("unix:path=/nonexistent/korvu-a11y-bus"), true, true, false},
        {"the flag off", QString(), false, true, false},
        {"no synthetic input", QString(), true, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LauncherBus bus;
        FakeLauncher* launcher = c.appearsLater ? nullptr : &bus.startLauncher(c.address, c.enabled);
        platform::AccessibilityTrust trust(bus.session(), [input = c.syntheticInput] { return input; });
        ASSERT_TRUE(testsupport::spinUntil([&] { return !trust.isRefreshing(); }));
        if (c.appearsLater) {
            EXPECT_FALSE(trust.isTrusted()) << "no launcher yet";
            launcher = &bus.startLauncher(c.address, c.enabled);
            ASSERT_TRUE(testsupport::spinUntil([&] { return trust.isTrusted(); }));
            const int before = launcher->addressCalls;
            for (int i = 0; i < 1000; ++i) EXPECT_TRUE(trust.isTrusted());
            EXPECT_LE(launcher->addressCalls - before, 1) << "a thousand questions cost more than one round of learning";
        }
        EXPECT_EQ(trust.isTrusted(), c.trusted);
        if (!c.enabled) {
            trust.requestEnabled();
            EXPECT_TRUE(testsupport::spinUntil([&] { return trust.isTrusted(); }));
            EXPECT_TRUE(launcher->enabled_);
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

// The current desktop's program comes first (in a colon-separated list too); an installed
// program of another desktop stands in; none where nothing is installed.
TEST(SettingsLauncher, TheCurrentDesktopsProgramOrAnInstalledOne)
{
    using platform::SettingsLauncher;
    using Pane = platform::SettingsPane;
    const auto all = [](const QString&) { return true; };
    const auto pavucontrol = [](const QString& program) { return program == QStringLiteral("pavucontrol"); };
    const std::tuple<Pane, const char*, std::function<bool(const QString&)>, std::optional<SettingsLauncher::Command>> cases[] = {
        {Pane::accessibility, "ubuntu:GNOME", all, {{"gnome-control-center", {"universal-access"}}}},
        {Pane::microphone, "GNOME", pavucontrol, {{"pavucontrol", {"--tab=4"}}}},
        {Pane::accessibility, "GNOME", pavucontrol, {}},
        {Pane::microphone, "", [](const QString&) { return false; }, {}},
    };
    for (const auto& [pane, desktop, installed, command] : cases) {
        EXPECT_EQ(SettingsLauncher::commandFor(pane, QString::fromLatin1(desktop), installed), command) << desktop;
    }
}

}  // namespace
}  // namespace korvu
