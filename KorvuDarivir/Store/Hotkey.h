#pragma once

#include <QString>
#include <QStringList>
#include <Qt>

#include <cstdint>
#include <map>
#include <optional>

class QKeyEvent;

namespace korvu {

// A keyboard shortcut as the settings store it: a virtual key code of an ANSI Apple
// keyboard and a Carbon modifier mask. The X11 layer translates both when it grabs the
// key (Command is Super, Option is Alt).
struct Hotkey {
    static constexpr std::uint32_t cmdKey = 0x100;
    static constexpr std::uint32_t shiftKey = 0x200;
    static constexpr std::uint32_t optionKey = 0x800;
    static constexpr std::uint32_t controlKey = 0x1000;

    std::uint32_t keyCode = 0;
    std::uint32_t modifiers = 0;

    bool operator==(const Hotkey&) const = default;

    // "⌃", "⌥", "⇧", "⌘" for the bits present, always in this order.
    QStringList modifierSymbols() const;

    // The shortcut as a user of a PC keyboard reads it, and the only text that shows one:
    // the modifiers' key-cap names ("Strg", "Alt", "Umschalt", "Super", in this order) and
    // the key's name, joined with "+": "Strg+Alt+Leertaste", "F5" for a key alone.
    QString displayText() const;

    // The key's name: a fixed name for named and function keys, else the character the
    // key types on the current keyboard layout, else "Taste " and the key code.
    QString keyName() const;

    // The modifiers as platform::Modifier bits.
    unsigned platformModifiers() const;

    static std::uint32_t carbonModifiers(Qt::KeyboardModifiers flags);

    // A shortcut from a key press of the shortcut recorder. Empty for a plain key, Shift
    // plus a key, or a modifier key itself; a function key alone is accepted.
    static std::optional<Hotkey> fromKeyEvent(const QKeyEvent& event);
    static std::optional<Hotkey> fromKeyEvent(std::uint32_t x11KeyCode, Qt::KeyboardModifiers flags);

    static const std::map<std::uint32_t, QString>& namedKeys();
    static const std::map<std::uint32_t, QString>& functionKeys();
};

}  // namespace korvu
