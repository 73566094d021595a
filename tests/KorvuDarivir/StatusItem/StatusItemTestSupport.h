#pragma once

#include "KorvuDarivir/Dictation/Permissions.h"
#include "KorvuDarivir/Store/AppModel.h"
#include "KorvuDarivir/Store/HistoryStore.h"
#include "KorvuDarivir/UI/StatusItemController.h"
#include "Platform/UI/FakeTray.h"
#include "support/TempDir.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QString>

#include <atomic>
#include <ostream>

inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

// Permissions that answer at once and from any thread.
class FakePermissions : public korvu::PermissionSystem {
public:
    korvu::MicrophoneAuthorization microphoneAuthorization() override { return korvu::MicrophoneAuthorization::authorized; }
    void requestMicrophoneAccess(std::function<void(bool)> answer) override { answer(true); }
    bool isAccessibilityTrusted() override { return trusted; }
    void promptForAccessibility() override { ++prompts; }
    bool openPane(korvu::PrivacyPane) override
    {
        ++panes;
        return true;
    }
    bool isWaylandSession() override { return false; }

    std::atomic<bool> trusted{true};
    std::atomic<int> prompts{0};
    std::atomic<int> panes{0};
};

// One instance for the whole run, trusted at each call.
inline FakePermissions& longLivedPermissions()
{
    static FakePermissions permissions;
    permissions.trusted = true;
    permissions.prompts = 0;
    permissions.panes = 0;
    return permissions;
}

// Lets the event loop run until `done` holds or ten seconds have passed.
template <typename Condition>
bool spinUntil(Condition done)
{
    QDeadlineTimer deadline(10000);
    while (!done()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// Runs the events already posted (one turn of the event loop and what it posts at once).
inline void settle()
{
    for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
}

// The model, history and tray of one controller, with nothing of the desktop's.
struct MenuFixture {
    // Outlives the test: a grant check may still be on its thread when the test ends.
    FakePermissions& permissions = longLivedPermissions();
    korvu::AppModel model{permissions};
    testsupport::TempDir folder;
    korvu::HistoryStore history{folder.path()};
    platform::FakeTray* tray = nullptr;
    int cancels = 0;
    int settingsOpened = 0;

    // A controller over a fake tray, unless another is given.
    std::unique_ptr<korvu::StatusItemController> make(std::unique_ptr<platform::TrayBackend> other = nullptr)
    {
        auto fake = std::make_unique<platform::FakeTray>();
        tray = fake.get();
        korvu::StatusItemController::Services services;
        services.model = &model;
        services.history = &history;
        services.permissions = &permissions;
        services.tray = other ? std::move(other) : std::move(fake);
        model.installOpenSettings([this] { ++settingsOpened; });
        return std::make_unique<korvu::StatusItemController>([this] { ++cancels; }, [] {}, std::move(services));
    }
};
