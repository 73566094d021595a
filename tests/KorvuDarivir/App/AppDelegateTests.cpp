#include "KorvuDarivir/App/AppDelegate.h"
#include "KorvuDarivir/App/Updater.h"
#include "KorvuDarivir/Store/AppModel.h"
#include "KorvuDarivir/Store/Settings.h"
#include "Platform/Defaults/UserDefaults.h"
#include "Platform/Session/SessionEvents.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMenu>
#include <QMenuBar>

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>

namespace korvu {
namespace {

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

// Runs the event loop until `done` holds; false after a generous deadline.
template <typename Predicate>
bool eventually(Predicate done)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > 15000) {
            return false;
        }
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

class AppDelegateTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::UserDefaults::standard().removeAllStoredValues();
        AppModel::shared().setAccessibilityGranted(false);
    }

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
    std::function<void()> cancelAction;
    std::function<void()> quitAction;
    Updater updater{{}};
    FakePermissions permissions;
};

TEST_F(AppDelegateTest, FirstLaunchWiresThePartsInOrderAndOpensTheOnboarding)
{
    AppDelegate delegate(parts());
    EXPECT_EQ(delegate.activationPolicy(), ActivationPolicy::accessory);
    delegate.applicationDidFinishLaunching();

    EXPECT_EQ(steps, (std::vector<std::string>{"hotkeys", "capture", "controller", "statusItem"}));
    EXPECT_TRUE(updater.isStarted());
    ASSERT_TRUE(delegate.onboardingWindow());
    EXPECT_FALSE(delegate.settingsWindow());
    EXPECT_EQ(delegate.onboardingWindow()->windowTitle(), "KORVU Darivir – Willkommen");
    EXPECT_EQ(delegate.onboardingWindow()->content()->size(), QSize(640, 540));
    EXPECT_EQ(delegate.activationPolicy(), ActivationPolicy::regular);
    ASSERT_TRUE(eventually([&] { return delegate.onboardingWindow()->isVisible(); }));

    // The model's actions reach the delegate; a second opening shows the same window.
    HostWindow* onboarding = delegate.onboardingWindow();
    AppModel::shared().openOnboarding();
    EXPECT_EQ(delegate.onboardingWindow(), onboarding);
    AppModel::shared().openSettings();
    HostWindow* settings = delegate.settingsWindow();
    ASSERT_TRUE(settings);
    EXPECT_EQ(settings->windowTitle(), "KORVU Darivir – Einstellungen");
    EXPECT_EQ(settings->content()->size(), QSize(760, 560));
    delegate.openSettings();
    EXPECT_EQ(delegate.settingsWindow(), settings);

    // One of two closed keeps the regular policy; the last one returns to accessory.
    onboarding->close();
    EXPECT_FALSE(delegate.onboardingWindow());
    EXPECT_EQ(delegate.activationPolicy(), ActivationPolicy::regular);
    settings->close();
    EXPECT_FALSE(delegate.settingsWindow());
    EXPECT_EQ(delegate.activationPolicy(), ActivationPolicy::accessory);

    // The status item's actions: cancel reaches the controller, quit ends the application.
    cancelAction();
    EXPECT_EQ(steps.back(), "cancel");
    EXPECT_EQ(terminations, 0);
    quitAction();
    EXPECT_TRUE(delegate.quitRequested());
    EXPECT_EQ(terminations, 1);
}

TEST_F(AppDelegateTest, OnlyExplicitQuitsRelaunchPowerOffAndTheSessionsEndTerminate)
{
    enum class Event { ctrlQ, quitItem, relaunch, powerOff, sessionEnding, sigterm, sighup };
    struct Case {
        const char* name;
        Event event;
        bool ends;
    };
    const Case cases[] = {
        {"Ctrl+Q only closes the windows", Event::ctrlQ, false},
        {"quit item", Event::quitItem, true},
        {"updater relaunch", Event::relaunch, true},
        {"power-off", Event::powerOff, true},
        {"session manager", Event::sessionEnding, true},
        {"SIGTERM", Event::sigterm, true},
        {"SIGHUP", Event::sighup, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        platform::UserDefaults::standard().set(Settings::onboardingCompletedKey, true);
        terminations = 0;
        auto p = parts();
        p.watchSession = true;
        AppDelegate delegate(std::move(p));
        delegate.applicationDidFinishLaunching();
        delegate.openSettings();
        delegate.openOnboarding();
        auto* session = delegate.findChild<platform::SessionEvents*>();
        ASSERT_NE(session, nullptr);
        QMenuBar* menu = delegate.settingsWindow()->menuBar();
        auto action = [&](const QString& text) {
            for (QAction* menuAction : menu->actions()) {
                for (QAction* item : menuAction->menu()->actions()) {
                    if (item->text() == text) {
                        return item;
                    }
                }
            }
            return static_cast<QAction*>(nullptr);
        };
        switch (c.event) {
        case Event::ctrlQ:
            action("Fenster schließen (läuft in der Menüleiste weiter)")->trigger();
            break;
        case Event::quitItem:
            action("KORVU Darivir ganz beenden")->trigger();
            break;
        case Event::relaunch:
            updater.onWillRelaunch();
            delegate.requestTermination(TerminationReason::userRequest);
            break;
        case Event::powerOff:
            emit session->powerOff();
            delegate.requestTermination(TerminationReason::userRequest);
            break;
        case Event::sessionEnding:
            emit session->sessionEnding();
            break;
        case Event::sigterm:
        case Event::sighup:
            std::raise(c.event == Event::sigterm ? SIGTERM : SIGHUP);
            ASSERT_TRUE(eventually([&] { return terminations > 0; }));
            EXPECT_EQ(session->lastSignal(), c.event == Event::sigterm ? SIGTERM : SIGHUP);
            break;
        }
        EXPECT_EQ(terminations, c.ends ? 1 : 0);
        if (!c.ends) {
            EXPECT_FALSE(delegate.settingsWindow());
            EXPECT_FALSE(delegate.onboardingWindow());
            EXPECT_EQ(delegate.activationPolicy(), ActivationPolicy::accessory);
            EXPECT_FALSE(delegate.shouldTerminate(TerminationReason::userRequest)) << "a refusal is not remembered as consent";
        }
    }
}

TEST_F(AppDelegateTest, MenusCarryTheirTitlesAndCtrlShortcuts)
{
    platform::UserDefaults::standard().set(Settings::onboardingCompletedKey, true);
    AppDelegate delegate(parts());
    delegate.applicationDidFinishLaunching();
    ASSERT_TRUE(delegate.mainMenu());
    QStringList lines;
    for (QAction* top : delegate.mainMenu()->actions()) {
        lines << "[" + top->text() + "]";
        for (QAction* item : top->menu()->actions()) {
            lines << (item->isSeparator() ? QStringLiteral("-") : item->text() + " " + item->shortcut().toString());
        }
    }
    const QStringList expected = {
        "[KORVU Darivir]", "Einstellungen … Ctrl+,", "-", "KORVU Darivir ausblenden Ctrl+H", "-",
        "Fenster schließen (läuft in der Menüleiste weiter) Ctrl+Q", "KORVU Darivir ganz beenden ",
        "[Bearbeiten]", "Widerrufen Ctrl+Z", "Wiederholen Ctrl+Shift+Z", "-", "Ausschneiden Ctrl+X", "Kopieren Ctrl+C",
        "Einsetzen Ctrl+V", "Alles auswählen Ctrl+A",
        "[Fenster]", "Schließen Ctrl+W", "Im Dock ablegen Ctrl+M",
    };
    EXPECT_EQ(lines, expected);
}

TEST_F(AppDelegateTest, WithoutATrayTheSettingsOpenAndTheGrantIsPolled)
{
    platform::UserDefaults::standard().set(Settings::onboardingCompletedKey, true);
    {
        AppDelegate withTray(parts(/*tray=*/true));
        withTray.applicationDidFinishLaunching();
        EXPECT_FALSE(withTray.settingsWindow());
        EXPECT_EQ(withTray.activationPolicy(), ActivationPolicy::accessory);
    }
    AppDelegate delegate(parts(/*tray=*/false));
    delegate.applicationDidFinishLaunching();
    EXPECT_TRUE(delegate.settingsWindow());
    EXPECT_FALSE(delegate.onboardingWindow());

    // A grant given while the application runs shows within a poll or two and re-places
    // the button once; a settings write re-places it too.
    panelUpdates = 0;
    permissions.trusted = true;
    ASSERT_TRUE(eventually([] { return AppModel::shared().accessibilityGranted(); }));
    EXPECT_EQ(panelUpdates, 1);
    platform::UserDefaults::standard().set(Settings::showFloatingButtonKey, false);
    EXPECT_EQ(panelUpdates, 2);
}

}  // namespace
}  // namespace korvu
