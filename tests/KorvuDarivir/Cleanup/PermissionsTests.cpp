// The permission requests over a replaceable system, the accessibility trust against an
// accessibility launcher on a private bus, and the choice of the settings program.
#include "KorvuDarivir/Dictation/Permissions.h"
#include "Platform/Permissions/AccessibilityTrust.h"
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

class FakePermissionSystem : public PermissionSystem {
public:
    MicrophoneAuthorization microphone = MicrophoneAuthorization::authorized;
    bool trusted = false;
    std::vector<PrivacyPane> openedPanes;
    int prompts = 0;
    std::vector<std::function<void(bool)>> pendingAnswers;

    MicrophoneAuthorization microphoneAuthorization() override { return microphone; }
    void requestMicrophoneAccess(std::function<void(bool)> answer) override { pendingAnswers.push_back(std::move(answer)); }
    bool isAccessibilityTrusted() override { return trusted; }
    void promptForAccessibility() override { ++prompts; }
    void openPane(PrivacyPane pane) override { openedPanes.push_back(pane); }
};

// Runs the main thread's event loop until `done` holds or a generous limit passes.
template <typename Predicate>
bool processEventsUntil(Predicate done)
{
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < 30000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return done();
}

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
        ASSERT_TRUE(processEventsUntil([&] { return answer.has_value(); }));
        EXPECT_EQ(answer, granted);
        EXPECT_EQ(completionThread, QCoreApplication::instance()->thread());
    }
}

TEST(PermissionsAccessibility, TheRequestPromptsAndOpensThePaneEvenWhenTrusted)
{
    for (const bool trusted : {true, false}) {
        FakePermissionSystem system;
        system.trusted = trusted;
        Permissions::requestAccessibility(system);
        EXPECT_EQ(system.prompts, 1);
        EXPECT_EQ(system.openedPanes, (std::vector<PrivacyPane>{PrivacyPane::accessibility}));
        EXPECT_EQ(Permissions::isAccessibilityTrusted(system), trusted);
    }
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
            launcherConnection_ =
                std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(bus_.address(), launcherName_));
            launcher_ = std::make_unique<FakeLauncher>(launcherAddress->isEmpty() ? bus_.address() : *launcherAddress);
            launcher_->moveToThread(&thread_);
            EXPECT_TRUE(launcherConnection_->registerVirtualObject(QStringLiteral("/org/a11y/bus"), launcher_.get()));
            EXPECT_TRUE(launcherConnection_->registerService(QStringLiteral("org.a11y.Bus")));
        }
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

TEST(AccessibilityBus, NoLauncherMeansNotTrusted)
{
    LauncherBus bus(std::nullopt);
    const auto accessibility = bus.accessibilityBus();
    EXPECT_EQ(accessibility.address(), std::nullopt);
    EXPECT_FALSE(accessibility.answers());
    EXPECT_EQ(accessibility.isEnabled(), std::nullopt);
    EXPECT_FALSE(accessibility.setEnabled(true));
    EXPECT_FALSE(platform::AccessibilityTrust::isTrusted(accessibility));
}

TEST(AccessibilityBus, ALauncherWhoseBusIsGoneDoesNotAnswer)
{
    LauncherBus bus(QStringLiteral("unix:path=/nonexistent/korvu-a11y-bus"));
    const auto accessibility = bus.accessibilityBus();
    EXPECT_EQ(accessibility.address(), QStringLiteral("unix:path=/nonexistent/korvu-a11y-bus"));
    EXPECT_FALSE(accessibility.answers());
    bus.launcher().setEnabledFlag(true);
    EXPECT_FALSE(platform::AccessibilityTrust::isTrusted(accessibility));
}

TEST(AccessibilityBus, TheRequestSwitchesTheBusOn)
{
    LauncherBus bus{QString()};  // the launcher hands out the private bus itself, which answers
    const auto accessibility = bus.accessibilityBus();
    EXPECT_TRUE(accessibility.answers());
    EXPECT_EQ(accessibility.isEnabled(), false);
    EXPECT_FALSE(platform::AccessibilityTrust::isTrusted(accessibility));

    EXPECT_TRUE(platform::AccessibilityTrust::requestEnabled(accessibility));
    EXPECT_TRUE(bus.launcher().enabled());
    EXPECT_EQ(accessibility.isEnabled(), true);
    // Trusted now exactly when synthetic input works on this display as well.
    EXPECT_EQ(platform::AccessibilityTrust::isTrusted(accessibility), platform::syntheticInputAvailable());
}

TEST(AccessibilityBus, TheTestSessionHasTheBusAndXTest)
{
    if (qEnvironmentVariable("KORVU_TEST_SESSION") != QStringLiteral("1")) {
        GTEST_SKIP() << "needs scripts/with-test-session.sh (Xvfb and the accessibility bus)";
    }
    EXPECT_TRUE(platform::AccessibilityBus().answers());
    EXPECT_TRUE(platform::AccessibilityBus().isEnabled().has_value());
    EXPECT_TRUE(platform::syntheticInputAvailable());
}

TEST(AccessibilityBus, AWaylandSessionHasNoSyntheticInput)
{
    const QByteArray previous = qgetenv("WAYLAND_DISPLAY");
    qputenv("WAYLAND_DISPLAY", "wayland-0");
    EXPECT_FALSE(platform::syntheticInputAvailable());
    if (previous.isNull()) {
        qunsetenv("WAYLAND_DISPLAY");
    } else {
        qputenv("WAYLAND_DISPLAY", previous);
    }
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
