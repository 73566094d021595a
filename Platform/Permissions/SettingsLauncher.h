#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace platform {

// The panes of the desktop's settings that stand in for the other platform's privacy
// panes: the sound input settings for the microphone, the accessibility settings.
enum class SettingsPane { microphone, accessibility };

// Opens the desktop's own settings program at the pane, where a known one is installed.
class SettingsLauncher {
public:
    SettingsLauncher() = delete;

    struct Command {
        QString program;
        QStringList arguments;
        friend bool operator==(const Command&, const Command&) = default;
    };

    // The command for the pane: the settings program of the current desktop
    // ($XDG_CURRENT_DESKTOP, a colon-separated list) when it is installed, else the first
    // installed one of the known programs; none when there is none. `isInstalled` answers
    // whether a program is on the PATH.
    static std::optional<Command> commandFor(SettingsPane pane, const QString& currentDesktop,
                                             const std::function<bool(const QString&)>& isInstalled);

    // Starts the command detached. False when no settings program is known here, so the
    // caller can say where the setting lives; whether the program then shows the pane is
    // not checked.
    static bool open(SettingsPane pane);
};

}  // namespace platform
