#pragma once

#include "KorvuDarivir/Store/Hotkey.h"
#include "KorvuDarivir/Dictation/HotkeySource.h"

#include <functional>
#include <memory>
#include <vector>

namespace platform {
class GlobalHotkeys;
}

namespace korvu {

// The application's system-wide shortcuts: the dictation shortcut (pressed and
// released), the add-word shortcut, and Escape while a recording runs. Each event
// reaches its callback on a later turn of the main event loop, so a callback may
// register and unregister shortcuts itself. Main thread only.
class HotkeyCenter final : public HotkeySource {
public:
    enum Slot : int {
        dictation = 1,
        escape = 2,
        addWord = 3,
        // Escape with some of the dictation shortcut's modifiers still held (hold-to-talk):
        // one slot per combination, escapeHeld + the combination's platform modifier bits.
        escapeHeld = 16,
    };

    enum class Registration {
        registered,
        inUse,        // another program (or our other shortcut) holds the combination
        unavailable,  // no X display, or a key code without a key
    };

    static HotkeyCenter& shared();

    // Registers the two shortcuts stored in the settings, once; later calls change
    // nothing, even when the settings changed in between. A shortcut that cannot be
    // registered stays silent, and registration() tells why.
    void install();
    // The same with the two shortcuts given.
    void install(const Hotkey& dictationShortcut, const Hotkey& addWordShortcut);
    bool isInstalled() const { return installed_; }

    // Escape is claimed only while enabled; while it is, it no longer reaches the
    // focused application. It is claimed alone and with every combination of the dictation
    // shortcut's modifiers, so that it also cancels while the shortcut is still held.
    void setEscapeEnabled(bool enabled) override;

    // For the shortcut recorder, which frees a slot while the user types a new shortcut
    // and then registers the slot with the value it stored.
    Registration registerShortcut(Slot slot, const Hotkey& hotkey);
    void unregisterShortcut(Slot slot);

    bool isRegistered(Slot slot) const;
    // The outcome of the slot's last registration attempt (unavailable before any).
    Registration registration(Slot slot) const;

    HotkeyCenter(const HotkeyCenter&) = delete;
    HotkeyCenter& operator=(const HotkeyCenter&) = delete;

private:
    HotkeyCenter();
    ~HotkeyCenter() override;

    platform::GlobalHotkeys* hotkeys();
    void handle(int id, bool pressed);

    std::unique_ptr<platform::GlobalHotkeys> hotkeys_;
    bool installed_ = false;
    // The dictation shortcut's modifiers (platform bits) as last registered.
    unsigned dictationModifiers_ = 0;
    std::vector<int> escapeSlots_;
    Registration results_[4] = {Registration::unavailable, Registration::unavailable, Registration::unavailable,
                                Registration::unavailable};
};

}  // namespace korvu
