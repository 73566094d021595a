#pragma once

// One controller over fakes, made fresh for each case: the user defaults are cleared, the
// history lives in a temporary folder, and time moves only when the test advances the fake
// scheduler.
#include "Fakes.h"

#include "KorvuDarivir/Dictation/AudioRecorder.h"
#include "KorvuDarivir/Store/HistoryStore.h"
#include "KorvuDarivir/Store/Settings.h"
#include "Platform/Defaults/UserDefaults.h"
#include "Platform/UI/FakeScheduler.h"
#include "Platform/UI/FakeScreenProvider.h"
#include "fakes/FakeHotkeys.h"
#include "fakes/FakeInserter.h"
#include "fakes/FakeKeyStore.h"
#include "fakes/FakePermissionSystem.h"
#include "fakes/FakeRecorder.h"
#include "fakes/FakeRunningApplications.h"
#include "support/TempDir.h"

#include <atomic>
#include <memory>
#include <stdexcept>

namespace dictationtest {

inline platform::UserDefaults& defaults()
{
    return platform::UserDefaults::standard();
}

inline void setDefault(const char* key, const QVariant& value)
{
    defaults().set(QString::fromLatin1(key), value);
}

struct Rig {
    Rig()
    {
        defaults().removeAllStoredValues();
        korvu::Settings::registerDefaults();
        korvu::DictationController::Environment environment;
        auto ownSpeech = std::make_unique<FakeSpeech>();
        auto ownPanel = std::make_unique<FakePanel>();
        auto ownHints = std::make_unique<FakeHints>();
        speech = ownSpeech.get();
        panel = ownPanel.get();
        hints = ownHints.get();
        environment.speech = std::move(ownSpeech);
        environment.panel = std::move(ownPanel);
        environment.hints = std::move(ownHints);
        environment.recorder = recorder;
        environment.model = &model;
        environment.hotkeys = &hotkeys;
        environment.inserter = &inserter;
        environment.keyStore = &keys;
        environment.permissions = &permissions;
        environment.applications = &applications;
        environment.history = &history;
        environment.scheduler = &scheduler;
        environment.screens = &screens;
        environment.cleanup = [cleanups = cleanups, cleanupFails = cleanupFails](
                                  const QString& text, const QString& key, korvu::CleanupStyle style, const QStringList&) {
            ++cleanups->count;
            cleanups->style = static_cast<int>(style);
            cleanups->key = key.toStdString();
            if (cleanupFails->load()) {
                throw std::runtime_error("HTTP 500 mit Schlüssel im Text");
            }
            return QStringLiteral("Sauber: ") + text;
        };
        environment.clock = [this] { return std::chrono::steady_clock::time_point(scheduler.now()); };
        controller = std::make_unique<korvu::DictationController>(std::move(environment));
    }

    ~Rig()
    {
        controller.reset();
        drain();
    }

    void start()
    {
        controller->start();
        drain();
    }
    void ready()
    {
        speech->onState(korvu::ModelState::ready);
    }
    void press()
    {
        hotkeys.press();
        drain();
    }
    void release()
    {
        hotkeys.release();
        drain();
    }
    void click()
    {
        panel->callbacks.onClick();
        drain();
    }
    korvu::DictationPhase phase() const { return model.phase(); }

    struct Cleanups {
        std::atomic<int> count{0};
        std::atomic<int> style{-1};
        std::string key;
    };

    // Trusted from the start, so the model begins with Accessibility granted.
    static fakes::FakePermissionSystem trusting()
    {
        fakes::FakePermissionSystem system;
        system.trusted = true;
        return system;
    }

    fakes::FakePermissionSystem permissions = trusting();
    korvu::AppModel model{permissions};
    std::shared_ptr<fakes::FakeRecorder> recorder = std::make_shared<fakes::FakeRecorder>();
    fakes::FakeHotkeys hotkeys;
    fakes::FakeInserter inserter;
    fakes::FakeKeyStore keys;
    fakes::FakeRunningApplications applications;
    testsupport::TempDir folder;
    korvu::HistoryStore history{folder.path()};
    platform::FakeScheduler scheduler;
    platform::FakeScreenProvider screens;
    std::shared_ptr<Cleanups> cleanups = std::make_shared<Cleanups>();
    std::shared_ptr<std::atomic<bool>> cleanupFails = std::make_shared<std::atomic<bool>>(false);
    FakeSpeech* speech = nullptr;
    FakePanel* panel = nullptr;
    FakeHints* hints = nullptr;
    std::unique_ptr<korvu::DictationController> controller;
};

}  // namespace dictationtest
