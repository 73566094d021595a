#pragma once

#include <cstdint>
#include <optional>

namespace platform {

// The application that has the keyboard, and bringing another one forward, over EWMH.
// Without a window manager (a bare X server) the focus window and the top-level windows
// stand in for the window manager's lists.
class ActiveWindow {
public:
    enum class Activation {
        alreadyFrontmost,
        activated,
        notFound,  // no X display, or no mapped window of that process
    };

    // Process id of the application whose window is active (has the focus).
    static std::optional<std::int64_t> frontmostPid();

    // Raises and focuses the top-most window of process `pid`.
    static Activation activate(std::int64_t pid);
};

}  // namespace platform
