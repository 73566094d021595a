#include "KorvuDarivir/Windows/SettingsTab.h"

namespace korvu {

QString rawValue(SettingsTab tab)
{
    switch (tab) {
    case SettingsTab::dictation:
        return QStringLiteral("dictation");
    case SettingsTab::cleanup:
        return QStringLiteral("cleanup");
    case SettingsTab::vocabulary:
        return QStringLiteral("vocabulary");
    case SettingsTab::history:
        return QStringLiteral("history");
    case SettingsTab::system:
        return QStringLiteral("system");
    }
    return {};
}

std::optional<SettingsTab> settingsTab(const QString& raw)
{
    for (const SettingsTab tab : allSettingsTabs) {
        if (rawValue(tab) == raw) {
            return tab;
        }
    }
    return std::nullopt;
}

}  // namespace korvu
