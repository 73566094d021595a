#pragma once

#include <QString>

#include <optional>

namespace korvu {

// How the language-model cleanup writes the text. Raw values equal the case names.
enum class CleanupStyle { neutral, message, email, note };

// The kind of target application a cleanup style is chosen for. Raw values equal the case
// names; they are the keys of the "appStyles" setting.
enum class StyleApp { whatsapp, mail, notes, other };

QString rawValue(CleanupStyle style);
QString rawValue(StyleApp app);
std::optional<CleanupStyle> cleanupStyleFromRaw(const QString& raw);
std::optional<StyleApp> styleAppFromRaw(const QString& raw);

}  // namespace korvu
