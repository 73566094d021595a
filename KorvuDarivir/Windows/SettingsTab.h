#pragma once

#include <QString>

#include <array>
#include <optional>

namespace korvu {

// The settings window's tabs. The raw value is what the user-defaults key "settingsTab"
// holds.
enum class SettingsTab { dictation, cleanup, vocabulary, history, system };

inline constexpr std::array<SettingsTab, 5> allSettingsTabs{SettingsTab::dictation, SettingsTab::cleanup,
                                                            SettingsTab::vocabulary, SettingsTab::history,
                                                            SettingsTab::system};

QString rawValue(SettingsTab tab);
// The tab of a raw value; none for any other text.
std::optional<SettingsTab> settingsTab(const QString& rawValue);

}  // namespace korvu
