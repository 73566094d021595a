#include "KorvuDarivir/Dictation/HotkeyCenter.h"

#include "KorvuDarivir/Store/Settings.h"

#include "Platform/Input/GlobalHotkeys.h"
#include "Platform/Input/KeyCodes.h"

#include <QtDebug>

namespace korvu {

namespace {

constexpr std::uint32_t kEscapeKeyCode = 53;

const char* slotName(int slot)
{
    switch (slot) {
    case HotkeyCenter::dictation: return "dictation";
    case HotkeyCenter::escape: return "Escape";
    case HotkeyCenter::addWord: return "add-word";
    default: return "unknown";
    }
}

}  // namespace

HotkeyCenter& HotkeyCenter::shared()
{
    // Never torn down: the X server drops the grabs when the process ends.
    static HotkeyCenter* center = new HotkeyCenter();
    return *center;
}

HotkeyCenter::HotkeyCenter() = default;
HotkeyCenter::~HotkeyCenter() = default;

platform::GlobalHotkeys* HotkeyCenter::hotkeys()
{
    if (!hotkeys_) {
        hotkeys_ = std::make_unique<platform::GlobalHotkeys>();
        hotkeys_->onEvent = [this](int id, bool pressed) { handle(id, pressed); };
    }
    return hotkeys_.get();
}

void HotkeyCenter::install()
{
    if (installed_) return;
    install(Settings::hotkey(), Settings::wordHotkey());
}

void HotkeyCenter::install(const Hotkey& dictationShortcut, const Hotkey& addWordShortcut)
{
    if (installed_) return;
    installed_ = true;
    registerShortcut(dictation, dictationShortcut);
    registerShortcut(addWord, addWordShortcut);
}

void HotkeyCenter::setEscapeEnabled(bool enabled)
{
    if (!enabled) {
        if (isRegistered(escape)) unregisterShortcut(escape);
        for (const int slot : escapeSlots_) {
            if (hotkeys_) hotkeys_->ungrab(slot);
        }
        escapeSlots_.clear();
        return;
    }
    if (isRegistered(escape)) return;
    registerShortcut(escape, Hotkey{kEscapeKeyCode, 0});
    // In hold-to-talk the shortcut's modifiers are down while the user presses Escape, and a
    // grab matches only its exact modifiers: every non-empty part of them gets its own.
    const auto keyCode = platform::KeyCodes::x11KeyCode(kEscapeKeyCode);
    if (!keyCode) return;
    const unsigned held = dictationModifiers_;
    for (unsigned part = held; part != 0; part = (part - 1) & held) {
        const int slot = escapeHeld + static_cast<int>(part);
        if (hotkeys()->grab(slot, *keyCode, part) == platform::GlobalHotkeys::GrabResult::grabbed) {
            escapeSlots_.push_back(slot);
        }
    }
}

HotkeyCenter::Registration HotkeyCenter::registerShortcut(Slot slot, const Hotkey& hotkey)
{
    Registration result = Registration::unavailable;
    if (const auto keyCode = platform::KeyCodes::x11KeyCode(hotkey.keyCode)) {
        switch (hotkeys()->grab(slot, *keyCode, hotkey.platformModifiers())) {
        case platform::GlobalHotkeys::GrabResult::grabbed: result = Registration::registered; break;
        case platform::GlobalHotkeys::GrabResult::inUse: result = Registration::inUse; break;
        case platform::GlobalHotkeys::GrabResult::unavailable: result = Registration::unavailable; break;
        }
    } else {
        hotkeys()->ungrab(slot);
    }
    results_[slot] = result;
    if (slot == dictation) dictationModifiers_ = hotkey.platformModifiers();
    if (result == Registration::inUse) {
        qWarning("The %s shortcut %s%s is taken by another program", slotName(slot),
                 qUtf8Printable(hotkey.modifierSymbols().join(QString())), qUtf8Printable(hotkey.keyName()));
    }
    return result;
}

void HotkeyCenter::unregisterShortcut(Slot slot)
{
    if (hotkeys_) hotkeys_->ungrab(slot);
}

bool HotkeyCenter::isRegistered(Slot slot) const
{
    return hotkeys_ && hotkeys_->isGrabbed(slot);
}

HotkeyCenter::Registration HotkeyCenter::registration(Slot slot) const
{
    return results_[slot];
}

void HotkeyCenter::handle(int id, bool pressed)
{
    std::function<void()> callback;
    if (pressed) {
        if (id == dictation) callback = onPressed;
        else if (id == escape || id > escapeHeld) callback = onEscape;
        else if (id == addWord) callback = onAddWord;
    } else if (id == dictation) {
        callback = onReleased;
    }
    if (callback) callback();
}

}  // namespace korvu
