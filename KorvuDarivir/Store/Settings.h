#pragma once

#include "KorvuDarivir/Store/CleanupStyle.h"
#include "KorvuDarivir/Store/Hotkey.h"

#include <QString>

#include <filesystem>
#include <optional>

namespace korvu {

// The floating button's offset from its computed place, in screen points (y upward).
struct ButtonOffset {
    double dx = 0.0;
    double dy = 0.0;

    friend bool operator==(const ButtonOffset&, const ButtonOffset&) = default;
};

// The application's settings: static accessors over the user defaults
// (platform::UserDefaults::standard()) and the support directory. Nothing is cached; every
// read goes to the defaults.
class Settings {
public:
    Settings() = delete;

    // Keys with registered defaults.
    static constexpr const char* languageKey = "language";
    static constexpr const char* cleanupEnabledKey = "cleanupEnabled";
    static constexpr const char* showFloatingButtonKey = "showFloatingButton";
    static constexpr const char* microphoneUIDKey = "microphoneUID";
    static constexpr const char* hotkeyKeyCodeKey = "hotkeyKeyCode";
    static constexpr const char* hotkeyModifiersKey = "hotkeyModifiers";
    static constexpr const char* wordHotkeyKeyCodeKey = "wordHotkeyKeyCode";
    static constexpr const char* wordHotkeyModifiersKey = "wordHotkeyModifiers";
    static constexpr const char* holdToTalkKey = "holdToTalk";
    static constexpr const char* movableButtonKey = "movableButton";
    static constexpr const char* historyEnabledKey = "historyEnabled";
    static constexpr const char* onboardingCompletedKey = "onboardingCompleted";
    static constexpr const char* modelPreparedKey = "modelPrepared";
    // Keys without registered defaults.
    static constexpr const char* appStylesKey = "appStyles";
    static constexpr const char* buttonOffsetsKey = "buttonOffsets";
    static constexpr const char* vocabularyKey = "vocabulary";
    static constexpr const char* settingsTabKey = "settingsTab";

    // "KORVU Darivir" under the XDG data folder, created on demand.
    static std::filesystem::path supportDirectory();

    // Registers the thirteen defaults (in memory; nothing is written).
    static void registerDefaults();

    // The dictation shortcut ("hotkeyKeyCode", "hotkeyModifiers"). A missing value reads
    // as 0, and so does a stored value that is no unsigned 32-bit number.
    static Hotkey hotkey();
    static void setHotkey(const Hotkey& hotkey);
    // The add-word shortcut ("wordHotkeyKeyCode", "wordHotkeyModifiers").
    static Hotkey wordHotkey();
    static void setWordHotkey(const Hotkey& hotkey);

    // The chosen input device's id; none for the system default (missing or empty).
    static std::optional<QString> microphoneUID();
    // The transcription language ("de" when nothing is stored); none for "auto".
    static std::optional<QString> language();
    // "Englisch", "Sprache automatisch" or "Deutsch".
    static QString languageName();
    // The application's version, or "dev" when none is set.
    static QString appVersion();

    // The cleanup style for a kind of application: the stored one, else its default
    // (whatsapp: message, mail: email, notes: note, other: neutral).
    static CleanupStyle style(StyleApp app);
    static void setStyle(CleanupStyle style, StyleApp app);

    // The button offset for an application id ("default" when none is given); the zero
    // offset when nothing usable is stored.
    static ButtonOffset buttonOffset(const std::optional<QString>& appId);
    static void setButtonOffset(const ButtonOffset& offset, const std::optional<QString>& appId);
    // True when "buttonOffsets" holds at least one entry (of the right shape).
    static bool hasButtonOffsets();
};

}  // namespace korvu
