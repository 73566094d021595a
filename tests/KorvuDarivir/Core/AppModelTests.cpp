#include "fakes/FakePermissionSystem.h"
#include "QtPrinters.h"
#include "KorvuDarivir/Store/AppModel.h"
#include "KorvuDarivir/Dictation/Permissions.h"
#include "KorvuDarivir/Store/Settings.h"
#include "Platform/Defaults/UserDefaults.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using korvu::AppModel;
using korvu::DictationPhase;
using korvu::Hotkey;
using korvu::LastInsert;
using korvu::MicButtonState;
using korvu::ModelState;

// Counts the emissions of every signal of a model.
struct Emissions {
    explicit Emissions(AppModel& model)
    {
        QObject::connect(&model, &AppModel::phaseChanged, [this] { ++phase; });
        QObject::connect(&model, &AppModel::flashChanged, [this] { ++flash; });
        QObject::connect(&model, &AppModel::modelChanged, [this] { ++modelState; });
        QObject::connect(&model, &AppModel::recordingSecondsChanged, [this] { ++seconds; });
        QObject::connect(&model, &AppModel::lastInsertChanged, [this] { ++lastInsert; });
        QObject::connect(&model, &AppModel::accessibilityGrantedChanged, [this] { ++accessibility; });
        QObject::connect(&model, &AppModel::microphoneGrantedChanged, [this] { ++microphone; });
        QObject::connect(&model, &AppModel::hotkeyChanged, [this] { ++hotkey; });
        QObject::connect(&model, &AppModel::wordHotkeyChanged, [this] { ++wordHotkey; });
        QObject::connect(&model, &AppModel::buttonStateChanged, [this] { ++buttonState; });
    }
    int total() const
    {
        return phase + flash + modelState + seconds + lastInsert + accessibility + microphone + hotkey + wordHotkey
            + buttonState;
    }
    int phase = 0, flash = 0, modelState = 0, seconds = 0, lastInsert = 0, accessibility = 0, microphone = 0,
        hotkey = 0, wordHotkey = 0, buttonState = 0;
};

TEST(AppModelTest, AFreshModelsActionsDoNothing)
{
    AppModel model;
    Emissions emissions(model);
    model.toggleDictation();
    model.loadModel();
    model.openSettings();
    model.openOnboarding();
    model.setInternalSink([](const QString&) {});
    model.setInternalSink({});
    EXPECT_EQ(emissions.total(), 0);
    EXPECT_EQ(model.phase(), DictationPhase::idle);
    EXPECT_EQ(model.model(), ModelState::notLoaded);
    EXPECT_FALSE(model.flash().has_value());
}

TEST(AppModelTest, InstalledActionsRunAndMayReplaceThemselves)
{
    AppModel model;
    int toggles = 0;
    int loads = 0;
    model.installToggleDictation([&] {
        ++toggles;
        model.installToggleDictation([&] { toggles += 10; });
    });
    model.installLoadModel([&] { ++loads; });
    QString received;
    model.installSetInternalSink([&](AppModel::Sink sink) {
        if (sink) {
            sink("Hallo");
        } else {
            received = "none";
        }
    });
    model.toggleDictation();
    model.toggleDictation();
    model.loadModel();
    EXPECT_EQ(toggles, 11);
    EXPECT_EQ(loads, 1);
    model.setInternalSink([&](const QString& text) { received = text; });
    EXPECT_EQ(received, "Hallo");
    model.setInternalSink({});
    EXPECT_EQ(received, "none");
}

TEST(AppModelTest, ButtonStateFollowsFlashThenPhaseThenModel)
{
    AppModel model;
    EXPECT_EQ(model.buttonState(), MicButtonState::load(0));
    model.setModel(ModelState::downloading(0.42));
    EXPECT_EQ(model.buttonState(), MicButtonState::load(0.42));
    model.setModel(ModelState::preparing(true));
    EXPECT_EQ(model.buttonState(), MicButtonState::proc);
    model.setModel(ModelState::failed("kaputt"));
    EXPECT_EQ(model.buttonState(), MicButtonState::err);
    model.setModel(ModelState::ready);
    EXPECT_EQ(model.buttonState(), MicButtonState::idle);

    model.setPhase(DictationPhase::recording);
    EXPECT_EQ(model.buttonState(), MicButtonState::rec);
    model.setFlash(MicButtonState::ok);
    EXPECT_EQ(model.buttonState(), MicButtonState::ok);
    model.setFlash(std::nullopt);
    EXPECT_EQ(model.buttonState(), MicButtonState::rec);
    model.setPhase(DictationPhase::processing);
    EXPECT_EQ(model.buttonState(), MicButtonState::proc);
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
    EXPECT_EQ(emissions.modelState, 5);
    // The flash hides the model's look, so the button itself did not change.
    EXPECT_EQ(emissions.buttonState, 0);

    model.setFlash(std::nullopt);
    EXPECT_EQ(emissions.flash, 1);
    EXPECT_EQ(emissions.buttonState, 1);
    model.setLastInsert(LastInsert{4, "Kate"});
    model.setLastInsert(std::nullopt);
    EXPECT_EQ(emissions.lastInsert, 2);
    model.setHotkey({1, 2});
    model.setWordHotkey({1, 2});
    model.setRecordingSeconds(3);
    model.setAccessibilityGranted(!model.accessibilityGranted());
    model.setMicrophoneGranted(!model.microphoneGranted());
    EXPECT_EQ(emissions.hotkey, 1);
    EXPECT_EQ(emissions.wordHotkey, 1);
    EXPECT_EQ(emissions.seconds, 1);
    EXPECT_EQ(emissions.accessibility, 1);
    EXPECT_EQ(emissions.microphone, 1);
}

TEST(AppModelTest, RecordingTimeIsMinutesAndSeconds)
{
    AppModel model;
    const std::pair<int, const char*> cases[] = {
        {0, "0:00"}, {59, "0:59"}, {60, "1:00"}, {75, "1:15"}, {600, "10:00"}, {3600, "60:00"}};
    for (const auto& [seconds, text] : cases) {
        model.setRecordingSeconds(seconds);
        EXPECT_EQ(model.recordingTime(), text) << seconds;
    }
}

TEST(AppModelTest, DownloadDetailTruncatesAndClamps)
{
    EXPECT_EQ(AppModel::downloadDetail(0.5), "315 von 630 MB · 50 %");
    EXPECT_EQ(AppModel::downloadDetail(1.0), "630 von 630 MB · 100 %");
    EXPECT_EQ(AppModel::downloadDetail(0.999), "629 von 630 MB · 99 %");
    EXPECT_EQ(AppModel::downloadDetail(0), "0 von 630 MB · 0 %");
    // Out of range or not a number: shown clamped, never undefined.
    EXPECT_EQ(AppModel::downloadDetail(std::nan("")), "0 von 630 MB · 0 %");
    EXPECT_EQ(AppModel::downloadDetail(std::numeric_limits<double>::infinity()), "630 von 630 MB · 100 %");
    EXPECT_EQ(AppModel::downloadDetail(-std::numeric_limits<double>::infinity()), "0 von 630 MB · 0 %");
    EXPECT_EQ(AppModel::downloadDetail(-0.5), "0 von 630 MB · 0 %");
    EXPECT_EQ(AppModel::downloadDetail(1e300), "630 von 630 MB · 100 %");
}

TEST(AppModelTest, ShortcutsAreReadFromTheSettingsWhenCreated)
{
    platform::UserDefaults::standard().removeAllStoredValues();
    korvu::Settings::registerDefaults();
    korvu::Settings::setWordHotkey({0x0E, 0x1000});
    AppModel model;
    EXPECT_EQ(model.hotkey(), (Hotkey{49, 0x1800}));
    EXPECT_EQ(model.wordHotkey(), (Hotkey{0x0E, 0x1000}));
    EXPECT_EQ(&AppModel::shared(), &AppModel::shared());
    platform::UserDefaults::standard().removeAllStoredValues();
}

TEST(MicButtonStateTest, EqualityAndAccessibilityLabels)
{
    EXPECT_EQ(MicButtonState::load(0.5), MicButtonState::load(0.5));
    EXPECT_NE(MicButtonState::load(0.5), MicButtonState::load(0.25));
    EXPECT_NE(MicButtonState::idle, MicButtonState::hover);
    EXPECT_NE(MicButtonState::load(0), MicButtonState::idle);

    EXPECT_EQ(MicButtonState::load(0.999).accessibilityLabel(), "Sprachmodell lädt, 99 Prozent");
    EXPECT_EQ(MicButtonState::load(std::nan("")).accessibilityLabel(), "Sprachmodell lädt, 0 Prozent");
    EXPECT_EQ(MicButtonState::load(7.0).accessibilityLabel(), "Sprachmodell lädt, 100 Prozent");
    EXPECT_EQ(MicButtonState::load(-std::numeric_limits<double>::infinity()).accessibilityLabel(),
              "Sprachmodell lädt, 0 Prozent");
    EXPECT_EQ(MicButtonState::idle.accessibilityLabel(), "Diktat starten");
    EXPECT_EQ(MicButtonState::hover.accessibilityLabel(), "Diktat starten");
    EXPECT_EQ(MicButtonState::rec.accessibilityLabel(), "Aufnahme läuft, klicken zum Beenden");
    EXPECT_EQ(MicButtonState::proc.accessibilityLabel(), "Text wird erstellt");
    EXPECT_EQ(MicButtonState::ok.accessibilityLabel(), "Text eingefügt");
    EXPECT_EQ(MicButtonState::err.accessibilityLabel(), "Fehler, Details im Hinweis");
}

}  // namespace

using FixedPermissions = fakes::FakePermissionSystem;

TEST(AppModelGrants, StartAsTheSystemReportsThem)
{
    FixedPermissions system;
    system.trusted = true;
    system.microphone = korvu::MicrophoneAuthorization::denied;
    const AppModel trustedModel(system);
    EXPECT_TRUE(trustedModel.accessibilityGranted());
    EXPECT_FALSE(trustedModel.microphoneGranted());

    system.trusted = false;
    system.microphone = korvu::MicrophoneAuthorization::notDetermined;
    const AppModel untrustedModel(system);
    EXPECT_FALSE(untrustedModel.accessibilityGranted());
    EXPECT_FALSE(untrustedModel.microphoneGranted());

    system.microphone = korvu::MicrophoneAuthorization::authorized;
    EXPECT_TRUE(AppModel(system).microphoneGranted());
}
