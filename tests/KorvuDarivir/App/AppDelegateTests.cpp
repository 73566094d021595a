#include "KorvuDarivir/App/AppDelegate.h"
#include "KorvuDarivir/App/Updater.h"
#include "KorvuDarivir/Store/AppModel.h"
#include "KorvuDarivir/Store/Settings.h"
#include "Platform/Defaults/UserDefaults.h"
#include "Platform/Session/SessionEvents.h"

#include "support/QtWait.h"

#include <QMenu>
#include <QMenuBar>

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>

namespace korvu {
namespace {

using testsupport::spinUntil;

// Answers from any thread: the grant poll asks off the main thread.
class FakePermissions : public PermissionSystem {
public:
    std::atomic<bool> trusted{false};
    MicrophoneAuthorization microphoneAuthorization() override { return MicrophoneAuthorization::authorized; }
    void requestMicrophoneAccess(std::function<void(bool)> answer) override { answer(true); }
    bool isAccessibilityTrusted() override { return trusted; }
    void promptForAccessibility() override {}
    bool openPane(PrivacyPane) override { return true; }
    bool isWaylandSession() override { return false; }
};

class AppDelegateTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::UserDefaults::standard().removeAllStoredValues();
        AppModel::shared().setAccessibilityGranted(false);
    }
    void onboarded() { platform::UserDefaults::standard().set(Settings::onboardingCompletedKey, true); }

    AppDelegate::Parts parts(bool tray = true)
    {
        AppDelegate::Parts p;
        p.installHotkeys = [this] { steps.push_back("hotkeys"); };
        p.startVocabularyCapture = [this] { steps.push_back("capture"); };
        p.startController = [this] { steps.push_back("controller"); };
        p.updatePanel = [this] { ++panelUpdates; };
        p.cancelRecording = [this] { steps.push_back("cancel"); };
        p.makeStatusItem = [this](std::function<void()> cancel, std::function<void()> quit) {
            steps.push_back(updater.isStarted() ? "statusItem after updater" : "statusItem");
            cancelAction = std::move(cancel);
            quitAction = std::move(quit);
            return std::make_shared<int>(0);
        };
        p.trayAvailable = [tray] { return tray; };
        p.updater = &updater;
        p.permissions = &permissions;
        p.terminate = [this] { ++terminations; };
        p.watchSession = false;
        return p;
    }

    std::vector<std::string> steps;
    int panelUpdates = 0;
    int terminations = 0;
    std::function<void()> cancelAction, quitAction;
    Updater updater{{}};
    FakePermissions permissions;
};

TEST_F(AppDelegateTest, FirstLaunchWiresThePartsInOrderAndOpensTheOnboarding)
{
    AppDelegate delegate(parts());
    delegate.applicationDidFinishLaunching();
    EXPECT_EQ(steps, (std::vector<std::string>{"hotkeys", "capture", "controller", "statusItem"}));
    EXPECT_TRUE(updater.isStarted());
    ASSERT_TRUE(delegate.onboardingWindow());
    EXPECT_FALSE(delegate.settingsWindow());
    EXPECT_EQ(delegate.activationPolicy(), ActivationPolicy::regular);
    ASSERT_TRUE(spinUntil([&] { return delegate.onboardingWindow()->isVisible(); }));

    // The model's actions reach the delegate; a second opening shows the same window.
    HostWindow* onboarding = delegate.onboardingWindow();
    AppModel::shared().openOnboarding();
    EXPECT_EQ(delegate.onboardingWindow(), onboarding);
    AppModel::shared().openSettings();
    HostWindow* settings = delegate.settingsWindow();
    ASSERT_TRUE(settings);
    delegate.openSettings();
    EXPECT_EQ(delegate.settingsWindow(), settings);

    // One of two closed keeps the regular policy; the last one returns to accessory.
    onboarding->close();
    EXPECT_FALSE(delegate.onboardingWindow());
    EXPECT_EQ(delegate.activationPolicy(), ActivationPolicy::regular);
    settings->close();
    EXPECT_EQ(delegate.activationPolicy(), ActivationPolicy::accessory);

    cancelAction();
    EXPECT_EQ(steps.back(), "cancel");
    EXPECT_EQ(terminations, 0);
    quitAction();
    EXPECT_TRUE(delegate.quitRequested());
    EXPECT_EQ(terminations, 1);
}

TEST_F(AppDelegateTest, OnlyExplicitQuitsRelaunchPowerOffAndTheSessionsEndTerminate)
{
    using Event = std::function<void(AppDelegate&, platform::SessionEvents&)>;
    // An item of the window's own menus, found by its shortcut or its title.
    const auto trigger = [](AppDelegate& delegate, auto matches) {
        for (QAction* top : delegate.settingsWindow()->menuBar()->actions())
            for (QAction* item : top->menu()->actions())
                if (matches(item)) return item->trigger();
        FAIL() << "no such menu item";
    };
    const auto signal = [this](int number) {
        return [this, number](AppDelegate&, platform::SessionEvents& session) {
            std::raise(number);
            ASSERT_TRUE(spinUntil([&] { return terminations > 0; }));
            EXPECT_EQ(session.lastSignal(), number);
        };
    };
    const std::tuple<const char*, Event, bool> cases[] = {
        {"Ctrl+Q only closes the windows", [&](AppDelegate& d, auto&) {
             trigger(d, [](QAction* a) { return a->shortcut() == QKeySequence(Qt::ControlModifier | Qt::Key_Q); });
         }, false},
        {"quit item", [&](AppDelegate& d, auto&) {
             trigger(d, [](QAction* a) { return a->text() == "KORVU Darivir ganz beenden"; });
         }, true},
        {"updater relaunch", [this](AppDelegate& d, auto&) {
             updater.onWillRelaunch();
             d.requestTermination(TerminationReason::userRequest);
         }, true},
        {"power-off", [](AppDelegate& d, platform::SessionEvents& session) {
             emit session.powerOff();
             d.requestTermination(TerminationReason::userRequest);
         }, true},
        {"session manager", [](AppDelegate&, platform::SessionEvents& session) { emit session.sessionEnding(); }, true},
        {"SIGTERM", signal(SIGTERM), true},
        {"SIGHUP", signal(SIGHUP), true},
    };
    for (const auto& [name, event, ends] : cases) {
        SCOPED_TRACE(name);
        onboarded();
        terminations = 0;
        auto p = parts();
        p.watchSession = true;
        AppDelegate delegate(std::move(p));
        delegate.applicationDidFinishLaunching();
        delegate.openSettings();
        delegate.openOnboarding();
        auto* session = delegate.findChild<platform::SessionEvents*>();
        ASSERT_NE(session, nullptr);
        event(delegate, *session);
        EXPECT_EQ(terminations, ends ? 1 : 0);
        if (!ends) {
            EXPECT_FALSE(delegate.settingsWindow() || delegate.onboardingWindow());
            EXPECT_EQ(delegate.activationPolicy(), ActivationPolicy::accessory);
            EXPECT_FALSE(delegate.shouldTerminate(TerminationReason::userRequest)) << "a refusal is not remembered as consent";
        }
    }
}

TEST_F(AppDelegateTest, WithoutATrayTheSettingsOpenAndTheGrantIsPolled)
{
    onboarded();
    {
        AppDelegate withTray(parts(/*tray=*/true));
        withTray.applicationDidFinishLaunching();
        EXPECT_FALSE(withTray.settingsWindow());
    }
    AppDelegate delegate(parts(/*tray=*/false));
    delegate.applicationDidFinishLaunching();
    EXPECT_TRUE(delegate.settingsWindow());
    EXPECT_FALSE(delegate.onboardingWindow());

    // A grant given while the application runs shows within a poll or two and re-places
    // the button once; a settings write re-places it too.
    panelUpdates = 0;
    permissions.trusted = true;
    ASSERT_TRUE(spinUntil([] { return AppModel::shared().accessibilityGranted(); }));
    EXPECT_EQ(panelUpdates, 1);
    platform::UserDefaults::standard().set(Settings::showFloatingButtonKey, false);
    EXPECT_EQ(panelUpdates, 2);
}

}  // namespace
}  // namespace korvu
