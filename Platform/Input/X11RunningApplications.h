#pragma once

#include "Platform/Input/RunningApplications.h"

#include <QHash>
#include <QString>

#include <optional>

namespace platform {

// Running applications on X11: the window of a process is found in the window manager's
// client list (else among the root's children), its WM_CLASS class gives the id, and the
// desktop entry whose file name or StartupWMClass matches the class gives the name (read
// once per class and kept). Without an X display the id stays empty and the name is the
// process's command name.
class X11RunningApplications final : public RunningApplications {
public:
    std::optional<RunningApplication> application(std::int64_t pid) override;
    std::optional<RunningApplication> frontmost() override;

    // The name a desktop entry gives for the window class, searched in the folders of
    // $XDG_DATA_HOME and $XDG_DATA_DIRS; empty when no entry matches. German names
    // ("Name[de]") are preferred, as the interface is German.
    static std::optional<QString> desktopEntryName(const QString& windowClass);

    // The class part of a WM_CLASS value ("instance\0class\0"); empty when it has none.
    static QString windowClass(const QByteArray& wmClass);

private:
    QHash<QString, std::optional<QString>> names_;
};

}  // namespace platform
