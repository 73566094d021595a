#include "fakes/FakePermissionSystem.h"
#include "QtPrinters.h"
#include "KorvuDarivir/Store/AppModel.h"
#include "KorvuDarivir/Store/Settings.h"
#include "Platform/Defaults/UserDefaults.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <memory>
#include <numeric>

namespace {

using namespace korvu;

constexpr double inf = std::numeric_limits<double>::infinity();

// Counts the emissions of each of the model's own signals, by name.
struct Emissions {
    explicit Emissions(AppModel& model)
    {
        const QMetaObject& meta = AppModel::staticMetaObject;
        for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
            if (meta.method(i).methodType() == QMetaMethod::Signal)
                spies[meta.method(i).name().toStdString()] = std::make_unique<QSignalSpy>(&model, meta.method(i));
        }
    }
    int operator[](const std::string& signal) const { return spies.at(signal)->count(); }
    int total() const { return std::accumulate(spies.begin(), spies.end(), 0, [](int n, auto& e) { return n + e.second->count(); }); }
    std::map<std::string, std::unique_ptr<QSignalSpy>> spies;
};

TEST(AppModelTest, ActionsDoNothingUntilInstalledAndMayReplaceThemselvesWhileRunning)
{
    AppModel model;
    model.toggleDictation();
    model.setInternalSink([](const QString&) {});
    int toggles = 0;
    model.installToggleDictation([&] {
        ++toggles;
        model.installToggleDictation([&] { toggles += 10; });
    });
    model.toggleDictation();
    model.toggleDictation();
    EXPECT_EQ(toggles, 11);
}

TEST(AppModelTest, ButtonStateFollowsFlashThenPhaseThenModel)
{
    AppModel model;
    EXPECT_EQ(model.buttonState(), MicButtonState::load(0));
    const std::pair<ModelState, MicButtonState> models[] = {
        {ModelState::downloading(0.42), MicButtonState::load(0.42)}, {ModelState::preparing(true), MicButtonState::proc},
        {ModelState::failed("kaputt"), MicButtonState::err}, {ModelState::ready, MicButtonState::idle}};
    for (const auto& [state, button] : models) {
        model.setModel(state);
        EXPECT_EQ(model.buttonState(), button);
    }
    model.setPhase(DictationPhase::recording);
    EXPECT_EQ(model.buttonState(), MicButtonState::rec);
    model.setFlash(MicButtonState::ok);
    EXPECT_EQ(model.buttonState(), MicButtonState::ok);
    model.setFlash(std::nullopt);
    model.setPhase(DictationPhase::processing);
    model.setModel(ModelState::failed("x"));  // not consulted while a dictation runs
    EXPECT_EQ(model.buttonState(), MicButtonState::proc);
}

TEST(AppModelTest, EqualWritesNotifyNobody)
{
    AppModel model;
    model.setModel(ModelState::downloading(0.5));
    model.setLastInsert(LastInsert{3, "Kate"});
    model.setFlash(MicButtonState::load(0.25));
    Emissions emissions(model);
    model.setPhase(DictationPhase::idle);
    model.setModel(ModelState::downloading(0.5));
    model.setFlash(MicButtonState::load(0.25));
    model.setRecordingSeconds(0);
    model.setLastInsert(LastInsert{3, "Kate"});
    model.setAccessibilityGranted(model.accessibilityGranted());
    model.setHotkey(model.hotkey());
    EXPECT_EQ(emissions.total(), 0);

    for (const ModelState& state : {ModelState::downloading(0.6), ModelState::preparing(false), ModelState::preparing(true),
                                    ModelState::failed("a"), ModelState::failed("b")})
        model.setModel(state);
    model.setLastInsert(std::nullopt);
    EXPECT_EQ(emissions["modelChanged"], 5);
    EXPECT_EQ(emissions["lastInsertChanged"], 1);
    EXPECT_EQ(emissions["buttonStateChanged"], 0) << "the flash hides the model's look";
    model.setFlash(std::nullopt);
    EXPECT_EQ(emissions["buttonStateChanged"], 1);
}

TEST(AppModelTest, TimesProgressAndLabelsAreClampedText)
{
    AppModel model;
    for (const auto& [seconds, text] : {std::pair{59, "0:59"}, {75, "1:15"}, {3600, "60:00"}}) {
        model.setRecordingSeconds(seconds);
        EXPECT_EQ(model.recordingTime(), text) << seconds;
    }
    // Truncated; out of range or not a number shown clamped, never undefined.
    const std::pair<double, const char*> fractions[] = {
        {0.999, "629 von 630 MB · 99 %"}, {std::nan(""), "0 von 630 MB · 0 %"}, {inf, "630 von 630 MB · 100 %"},
        {-inf, "0 von 630 MB · 0 %"}, {1e300, "630 von 630 MB · 100 %"}};
    for (const auto& [fraction, text] : fractions) {
        EXPECT_EQ(AppModel::downloadDetail(fraction), QString::fromUtf8(text)) << fraction;
    }
    const std::pair<double, const char*> labels[] = {
        {0.999, "Sprachmodell lädt, 99 Prozent"}, {std::nan(""), "Sprachmodell lädt, 0 Prozent"},
        {7.0, "Sprachmodell lädt, 100 Prozent"}, {-inf, "Sprachmodell lädt, 0 Prozent"}};
    for (const auto& [progress, label] : labels) {
        EXPECT_EQ(MicButtonState::load(progress).accessibilityLabel(), QString::fromUtf8(label)) << progress;
    }
    EXPECT_NE(MicButtonState::load(0.5), MicButtonState::load(0.25));
}

TEST(AppModelTest, ShortcutsAndGrantsAreReadWhenCreated)
{
    platform::UserDefaults::standard().removeAllStoredValues();
    Settings::registerDefaults();
    Settings::setWordHotkey({0x0E, 0x1000});
    fakes::FakePermissionSystem system;
    for (const bool granted : {false, true}) {
        system.trusted = granted;
        system.microphone = granted ? MicrophoneAuthorization::authorized : MicrophoneAuthorization::notDetermined;
        AppModel model(system);
        EXPECT_EQ(model.hotkey(), (Hotkey{49, 0x1800}));
        EXPECT_EQ(model.wordHotkey(), (Hotkey{0x0E, 0x1000}));
        EXPECT_EQ(model.accessibilityGranted(), granted);
        EXPECT_EQ(model.microphoneGranted(), granted);
    }
    platform::UserDefaults::standard().removeAllStoredValues();
}

}  // namespace
