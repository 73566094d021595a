#include "KorvuDarivir/Store/Settings.h"

#include "KorvuDarivir/Store/BuildSettings.h"

#include "Platform/Defaults/SupportDirectory.h"
#include "Platform/Defaults/UserDefaults.h"

#include <QCoreApplication>
#include <QVariantList>
#include <QVariantMap>

#include <algorithm>
#include <cmath>
#include <limits>

namespace korvu {
namespace {

platform::UserDefaults& defaults() { return platform::UserDefaults::standard(); }

QString key(const char* name) { return QString::fromLatin1(name); }

std::uint32_t unsignedOrZero(qint64 value)
{
    if (value < 0 || value > std::numeric_limits<std::uint32_t>::max()) {
        return 0;
    }
    return static_cast<std::uint32_t>(value);
}

Hotkey readHotkey(const char* keyCodeKey, const char* modifiersKey)
{
    return {unsignedOrZero(defaults().integer(key(keyCodeKey))),
            unsignedOrZero(defaults().integer(key(modifiersKey)))};
}

void writeHotkey(const Hotkey& hotkey, const char* keyCodeKey, const char* modifiersKey)
{
    defaults().set(key(keyCodeKey), static_cast<qint64>(hotkey.keyCode));
    defaults().set(key(modifiersKey), static_cast<qint64>(hotkey.modifiers));
}

CleanupStyle defaultStyle(StyleApp app)
{
    switch (app) {
    case StyleApp::whatsapp:
        return CleanupStyle::message;
    case StyleApp::mail:
        return CleanupStyle::email;
    case StyleApp::notes:
        return CleanupStyle::note;
    case StyleApp::other:
        return CleanupStyle::neutral;
    }
    return CleanupStyle::neutral;
}

// "appStyles" as a dictionary of texts; nothing when it is missing or has another shape.
std::optional<QVariantMap> appStyles()
{
    std::optional<QVariantMap> styles = defaults().dictionary(key(Settings::appStylesKey));
    if (!styles) {
        return std::nullopt;
    }
    for (const QVariant& value : std::as_const(*styles)) {
        if (value.typeId() != QMetaType::QString) {
            return std::nullopt;
        }
    }
    return styles;
}

bool isListOfNumbers(const QVariant& value)
{
    if (value.typeId() != QMetaType::QVariantList) {
        return false;
    }
    const QVariantList list = value.toList();
    return std::all_of(list.begin(), list.end(), &platform::UserDefaults::isNumber);
}

// "buttonOffsets" as a dictionary of number lists; nothing when it is missing or any entry
// has another shape.
std::optional<QVariantMap> buttonOffsets()
{
    std::optional<QVariantMap> offsets = defaults().dictionary(key(Settings::buttonOffsetsKey));
    if (!offsets) {
        return std::nullopt;
    }
    for (const QVariant& value : std::as_const(*offsets)) {
        if (!isListOfNumbers(value)) {
            return std::nullopt;
        }
    }
    return offsets;
}

QString offsetKey(const std::optional<QString>& appId)
{
    return appId ? *appId : QStringLiteral("default");
}

// JSON has no NaN or infinity; such a number would be stored as null and spoil the shape
// of the whole dictionary, losing every saved position. It is stored as 0 instead.
double storable(double value) { return std::isfinite(value) ? value : 0.0; }

}  // namespace

std::filesystem::path Settings::supportDirectory() { return platform::SupportDirectory::path(); }

void Settings::registerDefaults()
{
    QVariantMap registered;
    registered.insert(key(languageKey), QStringLiteral("de"));
    registered.insert(key(cleanupEnabledKey), false);
    registered.insert(key(showFloatingButtonKey), true);
    registered.insert(key(microphoneUIDKey), QString());
    registered.insert(key(hotkeyKeyCodeKey), 49);         // Space
    registered.insert(key(hotkeyModifiersKey), 0x1800);   // control + option
    registered.insert(key(wordHotkeyKeyCodeKey), 13);     // W
    registered.insert(key(wordHotkeyModifiersKey), 0x1800);
    registered.insert(key(holdToTalkKey), false);
    registered.insert(key(movableButtonKey), false);
    registered.insert(key(historyEnabledKey), true);
    registered.insert(key(onboardingCompletedKey), false);
    registered.insert(key(modelPreparedKey), false);
    defaults().registerDefaults(registered);
}

Hotkey Settings::hotkey() { return readHotkey(hotkeyKeyCodeKey, hotkeyModifiersKey); }
void Settings::setHotkey(const Hotkey& hotkey) { writeHotkey(hotkey, hotkeyKeyCodeKey, hotkeyModifiersKey); }
Hotkey Settings::wordHotkey() { return readHotkey(wordHotkeyKeyCodeKey, wordHotkeyModifiersKey); }

void Settings::setWordHotkey(const Hotkey& hotkey)
{
    writeHotkey(hotkey, wordHotkeyKeyCodeKey, wordHotkeyModifiersKey);
}

std::optional<QString> Settings::microphoneUID()
{
    const QVariant value = defaults().object(key(microphoneUIDKey));
    if (value.typeId() != QMetaType::QString || value.toString().isEmpty()) {
        return std::nullopt;
    }
    return value.toString();
}

std::optional<QString> Settings::language()
{
    const QString value = defaults().string(key(languageKey)).value_or(QStringLiteral("de"));
    if (value == u"auto") {
        return std::nullopt;
    }
    return value;
}

QString Settings::languageName()
{
    const std::optional<QString> value = defaults().string(key(languageKey));
    if (value == u"en") {
        return QStringLiteral("Englisch");
    }
    if (value == u"auto") {
        return QStringLiteral("Sprache automatisch");
    }
    return QStringLiteral("Deutsch");
}

QString Settings::appVersion()
{
    return QString::fromLatin1(build::version);
}

CleanupStyle Settings::style(StyleApp app)
{
    const std::optional<QVariantMap> styles = appStyles();
    if (!styles) {
        return defaultStyle(app);
    }
    const QVariant stored = styles->value(rawValue(app));
    if (!stored.isValid()) {
        return defaultStyle(app);
    }
    return cleanupStyleFromRaw(stored.toString()).value_or(defaultStyle(app));
}

void Settings::setStyle(CleanupStyle style, StyleApp app)
{
    QVariantMap styles = appStyles().value_or(QVariantMap());
    styles.insert(rawValue(app), rawValue(style));
    defaults().set(key(appStylesKey), styles);
}

ButtonOffset Settings::buttonOffset(const std::optional<QString>& appId)
{
    const std::optional<QVariantMap> offsets = buttonOffsets();
    if (!offsets) {
        return {};
    }
    const QVariantList numbers = offsets->value(offsetKey(appId)).toList();
    if (numbers.size() != 2) {
        return {};
    }
    return {numbers[0].toDouble(), numbers[1].toDouble()};
}

void Settings::setButtonOffset(const ButtonOffset& offset, const std::optional<QString>& appId)
{
    QVariantMap offsets = buttonOffsets().value_or(QVariantMap());
    offsets.insert(offsetKey(appId), QVariantList{storable(offset.dx), storable(offset.dy)});
    defaults().set(key(buttonOffsetsKey), offsets);
}

bool Settings::hasButtonOffsets()
{
    const std::optional<QVariantMap> offsets = buttonOffsets();
    return offsets && !offsets->isEmpty();
}

}  // namespace korvu
