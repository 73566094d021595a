#pragma once

#include "KorvuDarivir/Dictation/Permissions.h"
#include "KorvuDarivir/Store/AppModel.h"
#include "KorvuDarivir/Store/HistoryStore.h"
#include "KorvuDarivir/UI/StatusItemController.h"
#include "Platform/UI/FakeTray.h"
#include "support/QtWait.h"
#include "support/TempDir.h"

#include <QString>

#include <atomic>
#include <ostream>

inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

using testsupport::spinUntil;

// Permissions that answer at once and from any thread: the grant check runs off the main
// thread and may still run when a test ends, so there is one instance for the whole run.
struct FakePermissions : korvu::PermissionSystem {
    korvu::MicrophoneAuthorization microphoneAuthorization() override { return korvu::MicrophoneAuthorization::authorized; }
    void requestMicrophoneAccess(std::function<void(bool)> answer) override { answer(true); }
    bool isAccessibilityTrusted() override { return trusted; }
    void promptForAccessibility() override { ++prompts; }
    bool openPane(korvu::PrivacyPane) override { ++panes; return true; }
    bool isWaylandSession() override { return false; }

    static FakePermissions& shared()
    {
        static FakePermissions permissions;
        permissions.trusted = true;
        permissions.prompts = permissions.panes = 0;
        return permissions;
    }
    std::atomic<bool> trusted{true};
    std::atomic<int> prompts{0}, panes{0};
};

// Runs the events already posted (one turn of the event loop and what it posts at once).
inline void settle()
{
    for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
}

// The model, history and tray of one controller, with nothing of the desktop's.
struct MenuFixture {
    FakePermissions& permissions = FakePermissions::shared();
    korvu::AppModel model{permissions};
    testsupport::TempDir folder;
    korvu::HistoryStore history{folder.path()};
    platform::FakeTray* tray = nullptr;
    int cancels = 0, settingsOpened = 0;

    // A controller over a fake tray, unless another is given.
    std::unique_ptr<korvu::StatusItemController> make(std::unique_ptr<platform::TrayBackend> other = nullptr)
    {
        auto fake = std::make_unique<platform::FakeTray>();
        tray = fake.get();
        model.installOpenSettings([this] { ++settingsOpened; });
        return std::make_unique<korvu::StatusItemController>(
            [this] { ++cancels; }, [] {},
            korvu::StatusItemController::Services{&model, &history, &permissions, other ? std::move(other) : std::move(fake), {}});
    }
};
