#pragma once

#include "Platform/Accessibility/Accessibility.h"

#include <functional>
#include <memory>

namespace platform {

// The desktop's accessibility service over AT-SPI 2 (libatspi), for the main thread.
//
// AT-SPI has no call for "the object with the keyboard focus", so the object named by the
// last focus event ("object:state-changed:focused", delivered by the GLib main loop that Qt
// runs) is kept, and checked when asked: still focused, still alive, and owned by the
// process asked about. When it is not, the focused object is searched in that process's
// windows (active windows first, only showing objects, a bounded number of them), at once
// when the process is new and then at most once a second.
//
// "Trusted" is the application's one meaning (platform::AccessibilityTrust), and libatspi's
// connection made at the first trusted question is still up.
// The frontmost process comes from the X display (`ActiveWindow`, on Qt's connection).
// Nothing here switches on the desktop-wide "IsEnabled" flag of the accessibility bus: it
// changes every program's behaviour, so only the user's own request may set it
// (platform::AccessibilityTrust::requestEnabled, from the permission request).
//
// Every libatspi object is held by a reference-counted handle and released with it.
class AtspiAccessibility final : public Accessibility {
public:
    // `trusted` is the application's trust (AccessibilityTrust::shared()) unless a test
    // gives its own.
    explicit AtspiAccessibility(std::function<bool()> trusted = {});
    ~AtspiAccessibility() override;
    AtspiAccessibility(const AtspiAccessibility&) = delete;
    AtspiAccessibility& operator=(const AtspiAccessibility&) = delete;

    bool isTrusted() override;
    void setMessagingTimeout(std::chrono::milliseconds timeout) override;
    std::optional<pid_t> frontmostProcess() override;
    std::shared_ptr<AccessibleNode> focusedNode(pid_t process, Deadline deadline) override;

private:
    bool connect();

    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace platform
