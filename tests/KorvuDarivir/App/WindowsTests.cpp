#include "KorvuDarivir/Store/AppModel.h"
#include "KorvuDarivir/Store/Settings.h"
#include "KorvuDarivir/Windows/OnboardingView.h"
#include "KorvuDarivir/Windows/SettingsView.h"
#include "Platform/Defaults/UserDefaults.h"

#include <QTabWidget>

#include <gtest/gtest.h>

namespace korvu {
namespace {

platform::UserDefaults& defaults()
{
    return platform::UserDefaults::standard();
}

TEST(SettingsWindowTest, TheTabFollowsTheStoredKeyBothWays)
{
    defaults().removeAllStoredValues();
    {
        SettingsView fresh;
        EXPECT_EQ(fresh.tab(), SettingsTab::dictation);
        EXPECT_FALSE(defaults().hasStoredValue(Settings::settingsTabKey)) << "opening writes nothing";
    }
    defaults().set(Settings::settingsTabKey, "unbekannt");
    EXPECT_EQ(SettingsView().tab(), SettingsTab::dictation);

    defaults().set(Settings::settingsTabKey, "history");
    SettingsView view;
    EXPECT_EQ(view.tab(), SettingsTab::history);
    defaults().set(Settings::settingsTabKey, "system");
    EXPECT_EQ(view.tab(), SettingsTab::system) << "the open view follows the key";
    view.tabs()->setCurrentIndex(1);
    EXPECT_EQ(defaults().string(Settings::settingsTabKey), "cleanup") << "the user's choice is stored";
    EXPECT_EQ(rawValue(SettingsTab::dictation), "dictation");
    EXPECT_EQ(rawValue(SettingsTab::history), "history");
}

TEST(OnboardingTest, StartsAtTheWelcomeForABadStepAndFinishesOnceAfterStoring)
{
    defaults().removeAllStoredValues();
    for (const int bad : {-1, OnboardingView::stepCount, 99}) {
        EXPECT_EQ(OnboardingView(bad, {}).step(), OnboardingView::welcome);
    }
    EXPECT_EQ(OnboardingView(OnboardingView::shortcut, {}).step(), OnboardingView::shortcut);

    int finishes = 0;
    bool storedFirst = false;
    OnboardingView view(OnboardingView::cleanup, [&] {
        ++finishes;
        storedFirst = defaults().boolean(Settings::onboardingCompletedKey);
    });
    view.complete();
    view.complete();
    EXPECT_EQ(finishes, 1);
    EXPECT_TRUE(storedFirst);
}

TEST(OnboardingTest, LeavingTheTestStepClearsTheInternalSink)
{
    std::vector<bool> sinks;  // what the model was asked to set: true for a sink, false for none
    AppModel::shared().installSetInternalSink([&](AppModel::Sink sink) { sinks.push_back(bool(sink)); });
    {
        OnboardingView view(OnboardingView::test, {});
        view.show();
        EXPECT_EQ(sinks, std::vector<bool>{true});
        view.goTo(OnboardingView::cleanup);
        EXPECT_EQ(sinks, (std::vector<bool>{true, false}));
        view.goTo(OnboardingView::test);
        view.close();  // the window closes during the test step
        EXPECT_EQ(sinks, (std::vector<bool>{true, false, true, false}));
    }
    EXPECT_EQ(sinks.size(), 4u) << "nothing more once the view is gone";
    AppModel::shared().installSetInternalSink({});
}

}  // namespace
}  // namespace korvu
