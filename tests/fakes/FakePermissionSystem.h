#pragma once

#include "KorvuDarivir/Store/Permissions.h"

#include <functional>
#include <vector>

namespace fakes {

// Permissions whose answers the test chooses. A microphone request waits in
// `pendingAnswers` until the test answers it (as the user would, later).
class FakePermissionSystem final : public korvu::PermissionSystem {
public:
    korvu::MicrophoneAuthorization microphone = korvu::MicrophoneAuthorization::authorized;
    bool trusted = false;
    bool wayland = false;
    // Whether a settings program can show the panes.
    bool panesOpen = true;
    std::vector<korvu::PrivacyPane> openedPanes;
    int prompts = 0;
    std::vector<std::function<void(bool)>> pendingAnswers;

    korvu::MicrophoneAuthorization microphoneAuthorization() override { return microphone; }
    void requestMicrophoneAccess(std::function<void(bool)> answer) override { pendingAnswers.push_back(std::move(answer)); }
    bool isAccessibilityTrusted() override { return trusted; }
    void promptForAccessibility() override { ++prompts; }
    bool openPane(korvu::PrivacyPane pane) override
    {
        openedPanes.push_back(pane);
        return panesOpen;
    }
    bool isWaylandSession() override { return wayland; }
};

}  // namespace fakes
