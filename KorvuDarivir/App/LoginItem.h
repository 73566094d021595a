#pragma once

#include <QString>

namespace korvu {

// Start at login: an XDG autostart entry, "$XDG_CONFIG_HOME/autostart/korvu-darivir.desktop"
// (default ~/.config), that starts this program. Writes are atomic, so a crash leaves the
// old entry or the new one.
class LoginItem {
public:
    LoginItem() = delete;

    static QString entryPath();
    // True when our entry exists and is not hidden.
    static bool isEnabled();
    // Writes the entry for `program` (this program when empty) or removes it. False when
    // the file could not be written or removed.
    static bool setEnabled(bool enabled, const QString& program = {});
};

}  // namespace korvu
