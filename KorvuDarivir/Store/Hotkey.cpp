#include "KorvuDarivir/Store/Hotkey.h"

#include "Platform/Input/KeyCodes.h"
#include "Platform/Input/KeyboardLayout.h"

#include <QKeyEvent>

namespace korvu {

QStringList Hotkey::modifierSymbols() const
{
    QStringList symbols;
    if (modifiers & controlKey) symbols << QStringLiteral("⌃");
    if (modifiers & optionKey) symbols << QStringLiteral("⌥");
    if (modifiers & shiftKey) symbols << QStringLiteral("⇧");
    if (modifiers & cmdKey) symbols << QStringLiteral("⌘");
    return symbols;
}

QString Hotkey::displayText() const
{
    QStringList parts;
    if (modifiers & controlKey) parts << QStringLiteral("Strg");
    if (modifiers & optionKey) parts << QStringLiteral("Alt");
    if (modifiers & shiftKey) parts << QStringLiteral("Umschalt");
    if (modifiers & cmdKey) parts << QStringLiteral("Super");
    parts << keyName();
    return parts.join(QLatin1Char('+'));
}

QString Hotkey::keyName() const
{
    if (const auto it = namedKeys().find(keyCode); it != namedKeys().end()) return it->second;
    if (const auto it = functionKeys().find(keyCode); it != functionKeys().end()) return it->second;
    if (const auto x11 = platform::KeyCodes::x11KeyCode(keyCode)) {
        if (auto character = platform::KeyboardLayout::character(*x11)) return *character;
    }
    return QStringLiteral("Taste ") + QString::number(keyCode);
}

unsigned Hotkey::platformModifiers() const
{
    unsigned result = 0;
    if (modifiers & controlKey) result |= platform::ModifierControl;
    if (modifiers & optionKey) result |= platform::ModifierAlt;
    if (modifiers & shiftKey) result |= platform::ModifierShift;
    if (modifiers & cmdKey) result |= platform::ModifierSuper;
    return result;
}

std::uint32_t Hotkey::carbonModifiers(Qt::KeyboardModifiers flags)
{
    std::uint32_t mask = 0;
    if (flags & Qt::ControlModifier) mask |= controlKey;
    if (flags & Qt::AltModifier) mask |= optionKey;
    if (flags & Qt::ShiftModifier) mask |= shiftKey;
    if (flags & Qt::MetaModifier) mask |= cmdKey;
    return mask;
}

namespace {

// Virtual key codes of the modifier keys themselves: right Command, Command, Shift, Caps
// Lock, Option, Control, right Shift, right Option, right Control, Function.
bool isModifierKey(std::uint32_t keyCode) { return keyCode >= 54 && keyCode <= 63; }

bool isModifierKey(int qtKey)
{
    switch (qtKey) {
    case Qt::Key_Shift:
    case Qt::Key_Control:
    case Qt::Key_Meta:
    case Qt::Key_Alt:
    case Qt::Key_AltGr:
    case Qt::Key_CapsLock:
    case Qt::Key_NumLock:
    case Qt::Key_ScrollLock:
    case Qt::Key_Super_L:
    case Qt::Key_Super_R:
    case Qt::Key_Hyper_L:
    case Qt::Key_Hyper_R:
    case Qt::Key_Mode_switch:
        return true;
    default:
        return false;
    }
}

}  // namespace

// On X11 a modifier key pressed on its own arrives as a key press like any other (the
// other platform reports it as a change of flags, never as a key-down); pressing Control
// to begin a shortcut must not record Control alone as the shortcut.
std::optional<Hotkey> Hotkey::fromKeyEvent(const QKeyEvent& event)
{
    if (isModifierKey(event.key())) return std::nullopt;
    return fromKeyEvent(event.nativeScanCode(), event.modifiers());
}

std::optional<Hotkey> Hotkey::fromKeyEvent(std::uint32_t x11KeyCode, Qt::KeyboardModifiers flags)
{
    if (x11KeyCode > 255) return std::nullopt;
    const auto keyCode = platform::KeyCodes::virtualKeyCode(static_cast<std::uint8_t>(x11KeyCode));
    if (!keyCode || isModifierKey(*keyCode)) return std::nullopt;
    const bool functionKey = functionKeys().count(*keyCode) != 0;
    if (!functionKey && !(flags & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))) return std::nullopt;
    return Hotkey{*keyCode, carbonModifiers(flags)};
}

const std::map<std::uint32_t, QString>& Hotkey::namedKeys()
{
    static const std::map<std::uint32_t, QString> keys{
        {49, QStringLiteral("Leertaste")}, {36, QStringLiteral("↩")}, {48, QStringLiteral("⇥")},
        {51, QStringLiteral("⌫")},         {117, QStringLiteral("⌦")}, {123, QStringLiteral("←")},
        {124, QStringLiteral("→")},        {126, QStringLiteral("↑")}, {125, QStringLiteral("↓")},
        {115, QStringLiteral("↖")},        {119, QStringLiteral("↘")}, {116, QStringLiteral("⇞")},
        {121, QStringLiteral("⇟")},
    };
    return keys;
}

const std::map<std::uint32_t, QString>& Hotkey::functionKeys()
{
    static const std::map<std::uint32_t, QString> keys{
        {122, QStringLiteral("F1")},  {120, QStringLiteral("F2")},  {99, QStringLiteral("F3")},
        {118, QStringLiteral("F4")},  {96, QStringLiteral("F5")},   {97, QStringLiteral("F6")},
        {98, QStringLiteral("F7")},   {100, QStringLiteral("F8")},  {101, QStringLiteral("F9")},
        {109, QStringLiteral("F10")}, {103, QStringLiteral("F11")}, {111, QStringLiteral("F12")},
        {105, QStringLiteral("F13")}, {107, QStringLiteral("F14")}, {113, QStringLiteral("F15")},
        {106, QStringLiteral("F16")}, {64, QStringLiteral("F17")},  {79, QStringLiteral("F18")},
        {80, QStringLiteral("F19")},
    };
    return keys;
}

}  // namespace korvu
