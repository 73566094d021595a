#pragma once

#include "KorvuDarivir/Dictation/Permissions.h"

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
