// The permission requests over a replaceable system, the accessibility trust against an
// accessibility launcher on a private bus, and the choice of the settings program.
#include "KorvuDarivir/Dictation/Permissions.h"
#include "fakes/FakePermissionSystem.h"
#include "Platform/Permissions/AccessibilityTrust.h"
#include "support/QtWait.h"
#include "Platform/Permissions/SettingsLauncher.h"
#include "PrivateBus.h"
#include "QtPrinters.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace korvu {
namespace {

using fakes::FakePermissionSystem;

TEST(PermissionsMicrophone, AuthorizedCompletesBeforeReturning)
{
    FakePermissionSystem system;
    std::optional<bool> answer;
    Permissions::requestMicrophone([&](bool granted) { answer = granted; }, system);
    EXPECT_EQ(answer, true);
    EXPECT_TRUE(system.openedPanes.empty());
    EXPECT_TRUE(system.pendingAnswers.empty());
}

TEST(PermissionsMicrophone, DeniedOrRestrictedOpensThePaneEveryTimeAndPassesFalse)
{
    for (const auto state : {MicrophoneAuthorization::denied, MicrophoneAuthorization::restricted}) {
        FakePermissionSystem system;
        system.microphone = state;
        std::vector<bool> answers;
        Permissions::requestMicrophone([&](bool granted) { answers.push_back(granted); }, system);
        Permissions::requestMicrophone([&](bool granted) { answers.push_back(granted); }, system);
        EXPECT_EQ(answers, (std::vector<bool>{false, false}));
        EXPECT_EQ(system.openedPanes, (std::vector<PrivacyPane>{PrivacyPane::microphone, PrivacyPane::microphone}));
        EXPECT_TRUE(system.pendingAnswers.empty());
    }
}

TEST(PermissionsMicrophone, AnUndeterminedAnswerArrivesLaterOnTheMainThread)
{
    for (const bool granted : {true, false}) {
        FakePermissionSystem system;
        system.microphone = MicrophoneAuthorization::notDetermined;
        std::optional<bool> answer;
        QThread* completionThread = nullptr;
        Permissions::requestMicrophone(
            [&](bool value) {
                answer = value;
                completionThread = QThread::currentThread();
            },
            system);
        EXPECT_EQ(answer, std::nullopt) << "the completion ran before the user answered";
        ASSERT_EQ(system.pendingAnswers.size(), 1u);
        EXPECT_TRUE(system.openedPanes.empty());

        // The system answers on a thread of its own.
        std::thread answering([&] { system.pendingAnswers.front()(granted); });
        answering.join();
        EXPECT_EQ(answer, std::nullopt) << "the completion ran on the answering thread";
        ASSERT_TRUE(testsupport::spinUntil([&] { return answer.has_value(); }));
        EXPECT_EQ(answer, granted);
        EXPECT_EQ(completionThread, QCoreApplication::instance()->thread());
    }
}

// The request prompts and opens the pane, trusted or not; where no settings program can show
// the pane, the answer is a hint that says where the setting is, never silence.
TEST(PermissionsAccessibility, TheRequestPromptsAndOpensThePaneOrSaysWhereTheSettingIs)
{
    for (const bool trusted : {true, false}) {
        for (const bool panesOpen : {true, false}) {
            FakePermissionSystem system;
            system.trusted = trusted;
            system.panesOpen = panesOpen;
            const auto hint = Permissions::requestAccessibility(system);
            EXPECT_EQ(system.prompts, 1);
            EXPECT_EQ(system.openedPanes, (std::vector<PrivacyPane>{PrivacyPane::accessibility}));
            EXPECT_EQ(Permissions::isAccessibilityTrusted(system), trusted);
            EXPECT_EQ(hint.has_value(), !panesOpen);
            if (hint) {
                EXPECT_EQ(hint->title, QStringLiteral("Einstellungen nicht gefunden"));
                EXPECT_TRUE(hint->detail.contains(QStringLiteral("Barrierefreiheit")));
            }
        }
    }
    FakePermissionSystem system;
    system.panesOpen = false;
    const auto microphone = Permissions::openPane(PrivacyPane::microphone, system);
    ASSERT_TRUE(microphone.has_value());
    EXPECT_TRUE(microphone->detail.contains(QStringLiteral("Toneinstellungen")));
}

// Under Wayland a Wayland-native window cannot receive text: that gets a hint of its own,
// not "Bedienungshilfen fehlen", which the user could not mend.
TEST(PermissionsAccessibility, WhatStandsInTheWayOfInsertingText)
{
    struct Case {
        bool wayland;
        bool x11Target;
        bool trusted;
        std::optional<PermissionHint> obstacle;
    };
    const auto wayland = Permissions::waylandHint();
    const auto missing = Permissions::accessibilityMissingHint();
    const Case cases[] = {
        {false, false, true, std::nullopt},  {false, true, true, std::nullopt},
        {false, false, false, missing},      {true, true, true, std::nullopt},
        {true, false, true, wayland},        {true, false, false, wayland},
        {true, true, false, missing},
    };
    for (const Case& c : cases) {
        FakePermissionSystem system;
        system.wayland = c.wayland;
        system.trusted = c.trusted;
        EXPECT_EQ(Permissions::insertionObstacle(c.x11Target, system), c.obstacle)
            << c.wayland << c.x11Target << c.trusted;
    }
    EXPECT_EQ(missing, (PermissionHint{QStringLiteral("Bedienungshilfen fehlen"),
                                       QStringLiteral("Ohne Freigabe kann kein Text eingefügt werden.")}));
    EXPECT_NE(wayland.title, missing.title);
}

// An accessibility launcher of our own: answers GetAddress with the given address and
// keeps the IsEnabled flag. It lives on a thread of its own, because the code under test
// waits for it in blocking calls on the main thread.
class FakeLauncher : public QDBusVirtualObject {
public:
    explicit FakeLauncher(QString address) : address_(std::move(address)) {}

    bool enabled() const { return enabled_; }
    void setEnabledFlag(bool enabled) { enabled_ = enabled; }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override
    {
        if (message.path() != QStringLiteral("/org/a11y/bus")) {
            return false;
        }
        const auto arguments = message.arguments();
        if (message.interface() == QStringLiteral("org.a11y.Bus") && message.member() == QStringLiteral("GetAddress")) {
            ++addressCalls;
            return connection.send(message.createReply(address_));
        }
        if (message.interface() != QStringLiteral("org.freedesktop.DBus.Properties") || arguments.size() < 2
            || arguments[0].toString() != QStringLiteral("org.a11y.Status")
            || arguments[1].toString() != QStringLiteral("IsEnabled")) {
            return false;
        }
        if (message.member() == QStringLiteral("Get")) {
            return connection.send(message.createReply(QVariant::fromValue(QDBusVariant(enabled_.load()))));
        }
        if (message.member() == QStringLiteral("Set") && arguments.size() == 3) {
            enabled_ = arguments[2].value<QDBusVariant>().variant().toBool();
            return connection.send(message.createReply());
        }
        return false;
    }
    QString introspect(const QString&) const override { return {}; }

    std::atomic<int> addressCalls{0};

private:
    QString address_;
    std::atomic<bool> enabled_{false};
};

// A private session bus, optionally with the fake launcher on it.
class LauncherBus {
public:
    explicit LauncherBus(std::optional<QString> launcherAddress)
    {
        thread_.start();
        session_ = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(bus_.address(), sessionName_));
        if (launcherAddress) {
            startLauncher(*launcherAddress);
        }
    }
    // Puts the launcher on the bus; an empty address hands out the private bus itself.
    void startLauncher(const QString& launcherAddress, bool enabled = false)
    {
        launcherConnection_ =
            std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(bus_.address(), launcherName_));
        launcher_ = std::make_unique<FakeLauncher>(launcherAddress.isEmpty() ? bus_.address() : launcherAddress);
        launcher_->setEnabledFlag(enabled);
        launcher_->moveToThread(&thread_);
        EXPECT_TRUE(launcherConnection_->registerVirtualObject(QStringLiteral("/org/a11y/bus"), launcher_.get()));
        EXPECT_TRUE(launcherConnection_->registerService(QStringLiteral("org.a11y.Bus")));
    }
    ~LauncherBus()
    {
        if (launcherConnection_) {
            launcherConnection_->unregisterObject(QStringLiteral("/org/a11y/bus"));
            launcherConnection_.reset();
            QDBusConnection::disconnectFromBus(launcherName_);
        }
        thread_.quit();
        thread_.wait();
        session_.reset();
        QDBusConnection::disconnectFromBus(sessionName_);
    }

    platform::AccessibilityBus accessibilityBus() const { return platform::AccessibilityBus(*session_); }
    QDBusConnection session() const { return *session_; }
    FakeLauncher& launcher() { return *launcher_; }

private:
    PrivateBus bus_;
    QThread thread_;
    const QString sessionName_ = QStringLiteral("korvu-test-session-side");
    const QString launcherName_ = QStringLiteral("korvu-test-launcher-side");
    std::unique_ptr<QDBusConnection> session_;
    std::unique_ptr<QDBusConnection> launcherConnection_;
    std::unique_ptr<FakeLauncher> launcher_;
};

// The trust is asked every second and at every dictation start on the main thread: it
// answers from what it learned, learns asynchronously, and sees a launcher that appears
// after the application started.
TEST(AccessibilityTrust, AnswersWithoutWaitingAndSeesALauncherThatAppearsLater)
{
    LauncherBus bus(std::nullopt);
    platform::AccessibilityTrust trust(bus.session(), [] { return true; });
    ASSERT_TRUE(testsupport::spinUntil([&] { return !trust.isRefreshing(); }));
    EXPECT_FALSE(trust.isTrusted()) << "no launcher";

    bus.startLauncher(QString(), true);
    ASSERT_TRUE(testsupport::spinUntil([&] { return trust.isTrusted(); }, std::chrono::seconds(3)));

    // A thousand questions in a row cost at most one round of learning.
    const int before = bus.launcher().addressCalls;
    for (int i = 0; i < 1000; ++i) {
        EXPECT_TRUE(trust.isTrusted());
    }
    EXPECT_LE(bus.launcher().addressCalls - before, 1);
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
        LauncherBus bus(std::nullopt);
        bus.startLauncher(c.address, c.enabled);
        const bool input = c.syntheticInput;
        platform::AccessibilityTrust trust(bus.session(), [input] { return input; });
        ASSERT_TRUE(testsupport::spinUntil([&] { return !trust.isRefreshing(); })) << c.what;
        EXPECT_EQ(trust.isTrusted(), c.trusted) << c.what;
        if (!c.enabled) {
            trust.requestEnabled();
            EXPECT_TRUE(testsupport::spinUntil([&] { return trust.isTrusted(); }, std::chrono::seconds(3))) << c.what;
            EXPECT_TRUE(bus.launcher().enabled());
        }
    }
}

TEST(AccessibilityBus, TheTestSessionHasTheBusAndXTest)
{
    if (qEnvironmentVariable("KORVU_TEST_SESSION") != QStringLiteral("1")) {
        GTEST_SKIP() << "needs scripts/with-test-session.sh (Xvfb and the accessibility bus)";
    }
    EXPECT_TRUE(platform::AccessibilityBus().answers());
    EXPECT_TRUE(platform::AccessibilityBus().isEnabled().has_value());
    EXPECT_TRUE(platform::syntheticInputAvailable());
    EXPECT_TRUE(testsupport::spinUntil([] { return platform::AccessibilityTrust::shared().isTrusted(); }));
}

TEST(AccessibilityBus, WaylandIsToldFromItsEnvironmentAndAMissingDisplayHasNoSyntheticInput)
{
    const QByteArray wayland = qgetenv("WAYLAND_DISPLAY");
    const QByteArray session = qgetenv("XDG_SESSION_TYPE");
    struct Case {
        const char* waylandDisplay;
        const char* sessionType;
        bool isWayland;
    };
    for (const Case c : {Case{"", "x11", false}, Case{"wayland-0", "", true}, Case{"", "wayland", true},
                         Case{"", "", false}}) {
        qputenv("WAYLAND_DISPLAY", c.waylandDisplay);
        qputenv("XDG_SESSION_TYPE", c.sessionType);
        EXPECT_EQ(platform::isWaylandSession(), c.isWayland) << c.waylandDisplay << "/" << c.sessionType;
    }
    qputenv("WAYLAND_DISPLAY", wayland);
    qputenv("XDG_SESSION_TYPE", session);
    if (wayland.isNull()) qunsetenv("WAYLAND_DISPLAY");
    if (session.isNull()) qunsetenv("XDG_SESSION_TYPE");
    const QByteArray display = qgetenv("DISPLAY");
    qputenv("DISPLAY", ":4711");
    EXPECT_FALSE(platform::syntheticInputAvailable()) << "a display that is not there";
    qputenv("DISPLAY", display);
}

using platform::SettingsLauncher;
using platform::SettingsPane;

TEST(SettingsLauncher, TheCurrentDesktopsProgramComesFirst)
{
    const auto everything = [](const QString&) { return true; };
    EXPECT_EQ(SettingsLauncher::commandFor(SettingsPane::microphone, QStringLiteral("GNOME"), everything),
              (SettingsLauncher::Command{QStringLiteral("gnome-control-center"), {QStringLiteral("sound")}}));
    EXPECT_EQ(SettingsLauncher::commandFor(SettingsPane::accessibility, QStringLiteral("ubuntu:GNOME"), everything),
              (SettingsLauncher::Command{QStringLiteral("gnome-control-center"), {QStringLiteral("universal-access")}}));
    EXPECT_EQ(SettingsLauncher::commandFor(SettingsPane::accessibility, QStringLiteral("KDE"), everything),
              (SettingsLauncher::Command{QStringLiteral("systemsettings"), {QStringLiteral("kcm_access")}}));
    EXPECT_EQ(SettingsLauncher::commandFor(SettingsPane::microphone, QStringLiteral("XFCE"), everything),
              (SettingsLauncher::Command{QStringLiteral("pavucontrol"), {QStringLiteral("--tab=4")}}));
}

TEST(SettingsLauncher, AnInstalledProgramOfAnotherDesktopStandsIn)
{
    const auto onlyPavucontrol = [](const QString& program) { return program == QStringLiteral("pavucontrol"); };
    EXPECT_EQ(SettingsLauncher::commandFor(SettingsPane::microphone, QStringLiteral("GNOME"), onlyPavucontrol),
              (SettingsLauncher::Command{QStringLiteral("pavucontrol"), {QStringLiteral("--tab=4")}}));
    EXPECT_EQ(SettingsLauncher::commandFor(SettingsPane::accessibility, QStringLiteral("GNOME"), onlyPavucontrol),
              std::nullopt);
    const auto nothing = [](const QString&) { return false; };
    EXPECT_EQ(SettingsLauncher::commandFor(SettingsPane::microphone, QString(), nothing), std::nullopt);
}

}  // namespace
}  // namespace korvu
