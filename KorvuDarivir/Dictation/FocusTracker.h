#pragma once

#include "Platform/Accessibility/Accessibility.h"
#include "Platform/UI/ScreenProvider.h"

#include <QRectF>

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <vector>

class QTimer;

namespace korvu {

// The focused editable field of another application: its process and its frame in the
// application's screen space (origin at the bottom left of the primary screen, y upward),
// already clipped to the visible part of its screen. Equal when process and frame are
// exactly equal.
struct FocusedField {
    pid_t pid = 0;
    QRectF frame;

    friend bool operator==(const FocusedField& a, const FocusedField& b)
    {
        return a.pid == b.pid && a.frame.x() == b.frame.x() && a.frame.y() == b.frame.y()
            && a.frame.width() == b.frame.width() && a.frame.height() == b.frame.height();
    }
};

// Finds out four times a second whether the keyboard focus of the frontmost application
// sits in an editable text field, and where that field is; reports each change.
//
// Each poll asks the accessibility service for the focused object of the frontmost
// process, decides whether it edits text (password fields, sliders, spin buttons and the
// like never count), climbs from it to the whole editing area, and converts that area's
// frame to the application's screen space, clipped to its screen. Our own process is never
// reported. A poll that runs past its time budget (a program that hangs) changes nothing.
// Main thread only.
class FocusTracker {
public:
    // What the tracker works with. The defaults are the desktop's; tests give their own.
    struct Environment {
        std::shared_ptr<platform::Accessibility> accessibility;
        // The screens (y-up, with their device pixel ratios), the primary first.
        std::shared_ptr<const platform::ScreenProvider> screens;
        std::function<std::chrono::steady_clock::time_point()> clock;
        pid_t ownPID = 0;
        // The longest a poll may take before it gives up and changes nothing.
        std::chrono::milliseconds tickBudget{300};
        // The longest one call into another application may take.
        std::chrono::milliseconds messagingTimeout{150};
    };

    // The desktop's accessibility service (AT-SPI), Qt's screens and this process.
    FocusTracker();
    explicit FocusTracker(Environment environment);
    ~FocusTracker();
    FocusTracker(const FocusTracker&) = delete;
    FocusTracker& operator=(const FocusTracker&) = delete;

    // Called with the new field, or with nothing when the focus left every editable field.
    std::function<void(const std::optional<FocusedField>&)> onChange;

    // Sets the messaging time-out and starts polling every 0.25 s on the main thread's
    // event loop. Called once.
    void start();

    // One poll: reports the focused field when it differs from the last one reported.
    void tick();

private:
    std::optional<FocusedField> currentField();
    bool isEditableText(platform::AccessibleNode& node);
    bool isNumberField(platform::AccessibleNode& node);
    bool isTextRole(platform::AccessibleRole role, platform::AccessibleNode& node);
    bool isSettableText(platform::AccessibleNode& node);
    std::shared_ptr<platform::AccessibleNode> anchor(const std::shared_ptr<platform::AccessibleNode>& node);
    std::optional<QRectF> screenFrame(platform::AccessibleNode& node);

    // Every call into the accessibility tree goes through these: once the poll's budget is
    // spent they find nothing, so the poll unwinds without further calls.
    bool spent();
    std::optional<platform::AccessibleRole> role(platform::AccessibleNode& node);
    std::optional<platform::AccessibleStates> states(platform::AccessibleNode& node);
    bool hasEditableText(platform::AccessibleNode& node);
    std::optional<int> childCount(platform::AccessibleNode& node);
    std::shared_ptr<platform::AccessibleNode> child(platform::AccessibleNode& node, int index);
    std::shared_ptr<platform::AccessibleNode> parent(platform::AccessibleNode& node);
    std::optional<QRectF> extents(platform::AccessibleNode& node);

    Environment environment_;
    std::unique_ptr<QTimer> timer_;
    std::optional<FocusedField> lastField_;
    std::chrono::steady_clock::time_point deadline_;
    bool outOfTime_ = false;
    bool ticking_ = false;
};

}  // namespace korvu
