#pragma once

// One controller over fakes, made fresh for each case: the user defaults are cleared, the
// history lives in a temporary folder, and time moves only when the test advances the fake
// scheduler. Every seam is a fake of tests/fakes; the settings are plain fields.
#include "KorvuDarivir/Dictation/AudioRecorder.h"
#include "KorvuDarivir/Dictation/DictationController.h"
#include "KorvuDarivir/Store/HistoryStore.h"
#include "Platform/Defaults/UserDefaults.h"
#include "fakes/FakeScheduler.h"
#include "fakes/FakeScreenProvider.h"
#include "fakes/FakeButtonPanel.h"
#include "fakes/FakeDictationSettings.h"
#include "fakes/FakeHints.h"
#include "fakes/FakeHotkeys.h"
#include "fakes/FakeInserter.h"
#include "fakes/FakeKeyStore.h"
#include "fakes/FakePermissionSystem.h"
#include "fakes/FakeRecorder.h"
#include "fakes/FakeRunningApplications.h"
#include "fakes/FakeSpeech.h"
#include "support/QtWait.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <ostream>
#include <stdexcept>

#include "support/QtPrinters.h"

namespace korvu {
inline void PrintTo(const Hint& hint, std::ostream* out)
{
    *out << "Hint{" << static_cast<int>(hint.kind) << ", \"" << hint.title.toStdString() << "\", \""
         << hint.detail.value_or(QStringLiteral("<none>")).toStdString() << "\"}";
}
}  // namespace korvu

namespace dictationtest {

using namespace std::chrono_literals;
using korvu::DictationPhase;
using korvu::Hint;
using korvu::HintKind;
using korvu::MicButtonState;
using korvu::ModelState;
using Insertions = std::vector<fakes::FakeInserter::Insertion>;

// Lets the queued completions of the fakes run.
inline void drain()
{
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
}

// What the fake microphone hears unless a case says otherwise: a pause of 0.1 s, then a
// 200 Hz tone, which the speech gate takes for a voice, so the fake transcriber is asked.
inline std::vector<float> voice(std::size_t count)
{
    std::vector<float> samples(count, 0.0f);
    for (std::size_t i = 1600; i < count; ++i)
        samples[i] = 0.1f * static_cast<float>(std::sin(2 * std::numbers::pi * 200 * double(i) / 16000));
    return samples;
}

inline void setDefault(const char* key, const QVariant& value)
{
    platform::UserDefaults::standard().set(QString::fromLatin1(key), value);
}

using FakeSpeech = fakes::FakeSpeech;
using FakePanel = fakes::FakeButtonPanel;
using FakeHints = fakes::FakeHints;

struct Rig {
    // What the cleanup was asked, on its worker thread (which may outlive a failed case).
    struct Cleanup {
        bool fails = false;
        std::optional<korvu::CleanupStyle> style;
        std::string key;
        QStringList vocabulary;
        // The real cleanup to run instead of the canned answer, when set.
        std::function<QString(const QString&, const QString&, korvu::CleanupStyle, const QStringList&)> service;
    };

    Rig()
    {
        platform::UserDefaults::standard().removeAllStoredValues();
        korvu::Settings::registerDefaults();
        recorder->samples = voice(16000);
        auto ownSpeech = std::make_unique<FakeSpeech>();
        auto ownPanel = std::make_unique<FakePanel>();
        auto ownHints = std::make_unique<FakeHints>();
        speech = ownSpeech.get();
        panel = ownPanel.get();
        hints = ownHints.get();
        const auto clean = [cleanup = cleanup](const QString& text, const QString& key, korvu::CleanupStyle style,
                                               const QStringList& vocabulary) {
            cleanup->style = style;
            cleanup->key = key.toStdString();
            cleanup->vocabulary = vocabulary;
            if (cleanup->fails) throw std::runtime_error("HTTP 500 mit Schlüssel im Text");
            if (cleanup->service) return cleanup->service(text, key, style, vocabulary);
            return QStringLiteral("Sauber: ") + text;
        };
        controller = std::make_unique<korvu::DictationController>(korvu::DictationController::Environment{
            .speech = std::move(ownSpeech), .recorder = recorder, .panel = std::move(ownPanel),
            .hints = std::move(ownHints), .model = &model, .hotkeys = &hotkeys, .inserter = &inserter,
            .keyStore = &keys, .permissions = &permissions, .applications = &applications, .history = &history,
            .settings = &settings, .scheduler = &scheduler, .screens = &screens, .cleanup = clean,
            .clock = [this] { return std::chrono::steady_clock::time_point(scheduler.now()); },
            .statusMenuShown = [this] { return statusMenuShown; }});
    }
    ~Rig() { controller.reset(); drain(); }

    // Whether the desktop shows the status item (and so its menu).
    bool statusMenuShown = true;

    // Starts the controller, with the model ready unless told otherwise.
    void start(bool modelReady = true)
    {
        controller->start();
        if (modelReady) speech->onState(ModelState::ready);
        drain();
    }
    void press() { hotkeys.press(); drain(); }
    void click() { panel->callbacks.onClick(); drain(); }
    void focus(pid_t pid, const QRectF& frame) { controller->focusChanged(korvu::FocusedField{pid, frame}); }
    DictationPhase phase() const { return model.phase(); }
    bool idleAgain() { return testsupport::spinUntil([this] { return phase() == DictationPhase::idle; }); }

    // Trusted from the start, so the model begins with Accessibility granted.
    fakes::FakePermissionSystem permissions{true};
    korvu::AppModel model{permissions};
    std::shared_ptr<fakes::FakeRecorder> recorder = std::make_shared<fakes::FakeRecorder>();
    fakes::FakeHotkeys hotkeys;
    fakes::FakeInserter inserter;
    fakes::FakeKeyStore keys;
    fakes::FakeRunningApplications applications;
    fakes::FakeDictationSettings settings;
    testsupport::TempDir folder;
    korvu::HistoryStore history{folder.path()};
    fakes::FakeScheduler scheduler;
    fakes::FakeScreenProvider screens;
    std::shared_ptr<Cleanup> cleanup = std::make_shared<Cleanup>();
    FakeSpeech* speech = nullptr;
    FakePanel* panel = nullptr;
    FakeHints* hints = nullptr;
    std::unique_ptr<korvu::DictationController> controller;
};

// The fixture of the cases that need one rig only.
class WithRig : public ::testing::Test, public Rig {};

}  // namespace dictationtest
