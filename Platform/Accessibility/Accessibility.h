#pragma once

#include "Platform/Accessibility/AccessibleNode.h"

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>

namespace platform {

// What the application asks of the desktop's accessibility service: whether it may use
// it, which process is in front, and which object of that process has the keyboard focus.
// `AtspiAccessibility` implements it over AT-SPI 2; tests give it fake trees.
class Accessibility {
public:
    using Deadline = std::chrono::steady_clock::time_point;

    virtual ~Accessibility() = default;

    // Whether the accessibility service answers. Without it nothing else finds anything.
    virtual bool isTrusted() = 0;
    // The longest time one call into another application may take.
    virtual void setMessagingTimeout(std::chrono::milliseconds timeout) = 0;
    // The process that owns the active window; empty when there is none or it is unknown.
    virtual std::optional<pid_t> frontmostProcess() = 0;
    // The object of `process` that has the keyboard focus, or null. Work that would run
    // past `deadline` is given up.
    virtual std::shared_ptr<AccessibleNode> focusedNode(pid_t process, Deadline deadline) = 0;
};

}  // namespace platform
