#include "fakes/FakePermissionSystem.h"
#include "QtPrinters.h"
#include "KorvuDarivir/Store/AppModel.h"
#include "KorvuDarivir/Dictation/Permissions.h"
#include "KorvuDarivir/Store/Settings.h"
#include "Platform/Defaults/UserDefaults.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

#include <map>
#include <memory>

#include <cmath>
#include <limits>

namespace {

using korvu::AppModel;
using korvu::DictationPhase;
using korvu::Hotkey;
using korvu::LastInsert;
using korvu::MicButtonState;
using korvu::ModelState;

constexpr double inf = std::numeric_limits<double>::infinity();

// Counts the emissions of each of a model's own signals, by name.
struct Emissions {
    explicit Emissions(AppModel& model)
    {
        const QMetaObject& meta = AppModel::staticMetaObject;
        for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
            if (meta.method(i).methodType() == QMetaMethod::Signal) {
                spies[meta.method(i).name().toStdString()] = std::make_unique<QSignalSpy>(&model, meta.method(i));
            }
        }
    }
    int operator[](const std::string& signal) const { return spies.at(signal)->count(); }
    int total() const
    {
        int sum = 0;
        for (const auto& [name, spy] : spies) {
            sum += spy->count();
        }
        return sum;
    }
    std::map<std::string, std::unique_ptr<QSignalSpy>> spies;
};

TEST(AppModelTest, ActionsDoNothingUntilInstalledAndMayReplaceThemselves)
{
    AppModel model;
    Emissions emissions(model);
    model.toggleDictation();
    model.loadModel();
    model.openSettings();
    model.openOnboarding();
    model.setInternalSink([](const QString&) {});
    EXPECT_EQ(emissions.total(), 0);
    EXPECT_EQ(model.phase(), DictationPhase::idle);

    int toggles = 0;
    model.installToggleDictation([&] {
        ++toggles;
        model.installToggleDictation([&] { toggles += 10; });
    });
    QString received;
    model.installSetInternalSink([&](AppModel::Sink sink) {
        if (sink) {
            sink("Hallo");
        } else {
            received = "none";
        }
    });
    model.installLoadModel([&] { toggles += 100; });
    model.toggleDictation();
    model.toggleDictation();
    model.loadModel();
    EXPECT_EQ(toggles, 111);
    model.setInternalSink([&](const QString& text) { received = text; });
    EXPECT_EQ(received, "Hallo");
    model.setInternalSink({});
    EXPECT_EQ(received, "none");
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
    EXPECT_EQ(model.buttonState(), MicButtonState::rec);
    model.setPhase(DictationPhase::processing);
    // The model is not consulted while a dictation runs.
    model.setModel(ModelState::failed("x"));
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
    model.setMicrophoneGranted(model.microphoneGranted());
    model.setHotkey(model.hotkey());
    model.setWordHotkey(model.wordHotkey());
    EXPECT_EQ(emissions.total(), 0);

    model.setModel(ModelState::downloading(0.6));
    model.setModel(ModelState::preparing(false));
    model.setModel(ModelState::preparing(true));
    model.setModel(ModelState::failed("a"));
    model.setModel(ModelState::failed("b"));
    EXPECT_EQ(emissions["modelChanged"], 5);
    // The flash hides the model's look, so the button itself did not change.
    EXPECT_EQ(emissions["buttonStateChanged"], 0);
    model.setFlash(std::nullopt);
    EXPECT_EQ(emissions["flashChanged"], 1);
    EXPECT_EQ(emissions["buttonStateChanged"], 1);
    model.setLastInsert(LastInsert{4, "Kate"});
    model.setLastInsert(std::nullopt);
    model.setHotkey({1, 2});
    model.setWordHotkey({1, 2});
    model.setRecordingSeconds(3);
    model.setAccessibilityGranted(!model.accessibilityGranted());
    model.setMicrophoneGranted(!model.microphoneGranted());
    EXPECT_EQ(emissions["lastInsertChanged"], 2);
    for (const char* signal : {"hotkeyChanged", "wordHotkeyChanged", "recordingSecondsChanged",
                               "accessibilityGrantedChanged", "microphoneGrantedChanged"}) {
        EXPECT_EQ(emissions[signal], 1) << signal;
    }
}

TEST(AppModelTest, TimesProgressAndLabelsAreClampedText)
{
    AppModel model;
    for (const auto& [seconds, text] : {std::pair{0, "0:00"}, {59, "0:59"}, {75, "1:15"}, {3600, "60:00"}}) {
        model.setRecordingSeconds(seconds);
        EXPECT_EQ(model.recordingTime(), text) << seconds;
    }
    // Truncated, and out of range or not a number shown clamped, never undefined.
    const std::pair<double, const char*> fractions[] = {
        {0.5, "315 von 630 MB · 50 %"}, {0.999, "629 von 630 MB · 99 %"}, {1.0, "630 von 630 MB · 100 %"},
        {std::nan(""), "0 von 630 MB · 0 %"}, {inf, "630 von 630 MB · 100 %"}, {-inf, "0 von 630 MB · 0 %"},
        {-0.5, "0 von 630 MB · 0 %"}, {1e300, "630 von 630 MB · 100 %"}};
    for (const auto& [fraction, text] : fractions) {
        EXPECT_EQ(AppModel::downloadDetail(fraction), QString::fromUtf8(text)) << fraction;
    }
    const std::pair<MicButtonState, const char*> labels[] = {
        {MicButtonState::load(0.999), "Sprachmodell lädt, 99 Prozent"}, {MicButtonState::load(std::nan("")), "Sprachmodell lädt, 0 Prozent"},
        {MicButtonState::load(7.0), "Sprachmodell lädt, 100 Prozent"}, {MicButtonState::load(-inf), "Sprachmodell lädt, 0 Prozent"},
        {MicButtonState::hover, "Diktat starten"}, {MicButtonState::rec, "Aufnahme läuft, klicken zum Beenden"},
        {MicButtonState::proc, "Text wird erstellt"}, {MicButtonState::ok, "Text eingefügt"}, {MicButtonState::err, "Fehler, Details im Hinweis"}};
    for (const auto& [state, label] : labels) {
        EXPECT_EQ(state.accessibilityLabel(), QString::fromUtf8(label));
    }
    EXPECT_NE(MicButtonState::load(0.5), MicButtonState::load(0.25));
    EXPECT_NE(MicButtonState::load(0), MicButtonState::idle);
}

TEST(AppModelTest, ShortcutsAndGrantsAreReadWhenCreated)
{
    platform::UserDefaults::standard().removeAllStoredValues();
    korvu::Settings::registerDefaults();
    korvu::Settings::setWordHotkey({0x0E, 0x1000});
    AppModel model;
    EXPECT_EQ(model.hotkey(), (Hotkey{49, 0x1800}));
    EXPECT_EQ(model.wordHotkey(), (Hotkey{0x0E, 0x1000}));
    platform::UserDefaults::standard().removeAllStoredValues();

    fakes::FakePermissionSystem system;
    system.trusted = true;
    system.microphone = korvu::MicrophoneAuthorization::denied;
    EXPECT_TRUE(AppModel(system).accessibilityGranted());
    EXPECT_FALSE(AppModel(system).microphoneGranted());
    system.trusted = false;
    system.microphone = korvu::MicrophoneAuthorization::notDetermined;
    EXPECT_FALSE(AppModel(system).accessibilityGranted() || AppModel(system).microphoneGranted());
    system.microphone = korvu::MicrophoneAuthorization::authorized;
    EXPECT_TRUE(AppModel(system).microphoneGranted());
}

}  // namespace
