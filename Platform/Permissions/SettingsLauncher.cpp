#include "Platform/Permissions/SettingsLauncher.h"

#include <QProcess>
#include <QStandardPaths>

#include <vector>

namespace platform {
namespace {

struct DesktopSettings {
    QString desktop;  // as it appears in XDG_CURRENT_DESKTOP, upper-cased
    SettingsLauncher::Command microphone;
    SettingsLauncher::Command accessibility;
};

// In order of preference when the current desktop is unknown or its program is missing.
const std::vector<DesktopSettings>& knownSettings()
{
    static const std::vector<DesktopSettings> settings{
        {QStringLiteral("GNOME"),
         {QStringLiteral("gnome-control-center"), {QStringLiteral("sound")}},
         {QStringLiteral("gnome-control-center"), {QStringLiteral("universal-access")}}},
        {QStringLiteral("KDE"),
         {QStringLiteral("systemsettings"), {QStringLiteral("kcm_pulseaudio")}},
         {QStringLiteral("systemsettings"), {QStringLiteral("kcm_access")}}},
        {QStringLiteral("XFCE"),
         {QStringLiteral("pavucontrol"), {QStringLiteral("--tab=4")}},
         {QStringLiteral("xfce4-accessibility-settings"), {}}},
        {QStringLiteral("MATE"),
         {QStringLiteral("mate-volume-control"), {}},
         {QStringLiteral("mate-at-properties"), {}}},
        {QStringLiteral("CINNAMON"),
         {QStringLiteral("cinnamon-settings"), {QStringLiteral("sound")}},
         {QStringLiteral("cinnamon-settings"), {QStringLiteral("universal-access")}}},
    };
    return settings;
}

}  // namespace

std::optional<SettingsLauncher::Command> SettingsLauncher::commandFor(
    SettingsPane pane, const QString& currentDesktop, const std::function<bool(const QString&)>& isInstalled)
{
    const auto commandOf = [pane](const DesktopSettings& settings) {
        return pane == SettingsPane::microphone ? settings.microphone : settings.accessibility;
    };
    // Unity, Budgie and the like name GNOME beside themselves.
    for (const QString& desktop : currentDesktop.toUpper().split(u':', Qt::SkipEmptyParts)) {
        for (const auto& settings : knownSettings()) {
            if (settings.desktop == desktop && isInstalled(commandOf(settings).program)) {
                return commandOf(settings);
            }
        }
    }
    for (const auto& settings : knownSettings()) {
        if (isInstalled(commandOf(settings).program)) {
            return commandOf(settings);
        }
    }
    return std::nullopt;
}

bool SettingsLauncher::open(SettingsPane pane)
{
    const auto command = commandFor(pane, qEnvironmentVariable("XDG_CURRENT_DESKTOP"), [](const QString& program) {
        return !QStandardPaths::findExecutable(program).isEmpty();
    });
    return command && QProcess::startDetached(command->program, command->arguments);
}

}  // namespace platform
