#include "KorvuDarivir/Store/CleanupStyle.h"

#include <array>
#include <utility>

namespace korvu {
namespace {

constexpr std::array<std::pair<CleanupStyle, const char16_t*>, 4> styleNames{{
    {CleanupStyle::neutral, u"neutral"},
    {CleanupStyle::message, u"message"},
    {CleanupStyle::email, u"email"},
    {CleanupStyle::note, u"note"},
}};

constexpr std::array<std::pair<StyleApp, const char16_t*>, 4> appNames{{
    {StyleApp::whatsapp, u"whatsapp"},
    {StyleApp::mail, u"mail"},
    {StyleApp::notes, u"notes"},
    {StyleApp::other, u"other"},
}};

template <typename Enum, std::size_t N>
QString nameOf(const std::array<std::pair<Enum, const char16_t*>, N>& names, Enum value)
{
    for (const auto& [candidate, name] : names) {
        if (candidate == value) {
            return QString::fromUtf16(name);
        }
    }
    return {};
}

template <typename Enum, std::size_t N>
std::optional<Enum> valueOf(const std::array<std::pair<Enum, const char16_t*>, N>& names, const QString& raw)
{
    for (const auto& [value, name] : names) {
        if (raw == QString::fromUtf16(name)) {
            return value;
        }
    }
    return std::nullopt;
}

}  // namespace

QString rawValue(CleanupStyle style) { return nameOf(styleNames, style); }
QString rawValue(StyleApp app) { return nameOf(appNames, app); }
std::optional<CleanupStyle> cleanupStyleFromRaw(const QString& raw) { return valueOf(styleNames, raw); }
std::optional<StyleApp> styleAppFromRaw(const QString& raw) { return valueOf(appNames, raw); }

}  // namespace korvu
