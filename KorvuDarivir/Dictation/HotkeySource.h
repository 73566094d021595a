#pragma once

#include <functional>

namespace korvu {

// What the dictation needs of the global shortcuts: four callbacks, each called on the
// main thread on a later turn of the event loop, and Escape claimed only while a recording
// runs. `HotkeyCenter` is the desktop's (X11 key grabs); tests give a fake
// (tests/fakes/FakeHotkeys.h).
class HotkeySource {
public:
    virtual ~HotkeySource() = default;

    std::function<void()> onPressed;
    std::function<void()> onReleased;
    std::function<void()> onEscape;
    std::function<void()> onAddWord;

    // While enabled, Escape no longer reaches the focused application but calls onEscape.
    virtual void setEscapeEnabled(bool enabled) = 0;
};

}  // namespace korvu
