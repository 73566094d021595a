#pragma once

#include "KorvuDarivir/Dictation/HotkeySource.h"

namespace fakes {

// Shortcuts the test presses by calling press(), release(), escape() and addWord(). Escape
// reaches onEscape only while it is enabled, as with the real grabs.
class FakeHotkeys final : public korvu::HotkeySource {
public:
    bool escapeEnabled = false;

    void setEscapeEnabled(bool enabled) override { escapeEnabled = enabled; }

    void press() { call(onPressed); }
    void release() { call(onReleased); }
    void addWord() { call(onAddWord); }
    void escape()
    {
        if (escapeEnabled) call(onEscape);
    }

private:
    static void call(const std::function<void()>& callback)
    {
        if (callback) callback();
    }
};

}  // namespace fakes
