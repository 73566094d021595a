#pragma once

#include "KorvuDarivir/Store/Permissions.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <vector>

namespace fakes {

// Permissions whose answers the test chooses. A microphone request waits in
// `pendingAnswers` until the test answers it (as the user would, later).
//
// The grant poll and the accessibility request run off the main thread, and may still run
// when a test ends, so everything they touch answers from any thread: the switches and
// the prompt count are atomic and the opened panes are kept under a lock. Microphone
// requests come from the main thread only.
class FakePermissionSystem final : public korvu::PermissionSystem {
public:
    FakePermissionSystem() = default;
    explicit FakePermissionSystem(bool trusted) : trusted(trusted) {}

    std::atomic<korvu::MicrophoneAuthorization> microphone{korvu::MicrophoneAuthorization::authorized};
    std::atomic<bool> trusted{false};
    std::atomic<bool> wayland{false};
    // Whether a settings program can show the panes.
    std::atomic<bool> panesOpen{true};
    std::atomic<int> prompts{0};
    std::vector<std::function<void(bool)>> pendingAnswers;

    // The panes opened so far, in order.
    std::vector<korvu::PrivacyPane> openedPanes() const
    {
        const std::scoped_lock lock(mutex_);
        return openedPanes_;
    }

    // Back to a new instance's state, for an instance that outlives one test.
    void reset()
    {
        microphone = korvu::MicrophoneAuthorization::authorized;
        trusted = false;
        wayland = false;
        panesOpen = true;
        prompts = 0;
        pendingAnswers.clear();
        const std::scoped_lock lock(mutex_);
        openedPanes_.clear();
    }

    korvu::MicrophoneAuthorization microphoneAuthorization() override { return microphone; }
    void requestMicrophoneAccess(std::function<void(bool)> answer) override { pendingAnswers.push_back(std::move(answer)); }
    bool isAccessibilityTrusted() override { return trusted; }
    void promptForAccessibility() override { ++prompts; }
    bool openPane(korvu::PrivacyPane pane) override
    {
        const std::scoped_lock lock(mutex_);
        openedPanes_.push_back(pane);
        return panesOpen;
    }
    bool isWaylandSession() override { return wayland; }

private:
    mutable std::mutex mutex_;
    std::vector<korvu::PrivacyPane> openedPanes_;
};

}  // namespace fakes
