#include "KorvuDarivir/Store/DictationRecord.h"

#include <QJsonValue>

#include <algorithm>
#include <cmath>

namespace korvu {
namespace {

bool isHex(QChar c)
{
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

// Only the standard form, 8-4-4-4-12 hexadecimal digits: QUuid alone would also take
// braces and other forms that the history file never holds.
std::optional<QUuid> parseUuid(const QString& text)
{
    if (text.size() != 36) {
        return std::nullopt;
    }
    for (qsizetype i = 0; i < text.size(); ++i) {
        const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
        if (hyphen ? text[i] != u'-' : !isHex(text[i])) {
            return std::nullopt;
        }
    }
    return QUuid::fromString(text);
}

}  // namespace

double DictationRecord::dateFrom(const QDateTime& dateTime)
{
    return static_cast<double>(dateTime.toMSecsSinceEpoch()) / 1000.0 - referenceDateOffset;
}

QDateTime DictationRecord::dateTime() const
{
    // A date read from a file may be anything; converting a double outside the integer's
    // range would be undefined, so it is kept within some hundred thousand years.
    constexpr double limit = 8.0e15;
    double msecs = std::round((date + referenceDateOffset) * 1000.0);
    msecs = std::isfinite(msecs) ? std::clamp(msecs, -limit, limit) : 0.0;
    return QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(msecs));
}

QJsonObject DictationRecord::toJson() const
{
    return QJsonObject{
        {QStringLiteral("id"), id.toString(QUuid::WithoutBraces).toUpper()},
        {QStringLiteral("date"), date},
        {QStringLiteral("appName"), appName},
        {QStringLiteral("text"), text},
    };
}

std::optional<DictationRecord> DictationRecord::fromJson(const QJsonValue& value)
{
    if (!value.isObject()) {
        return std::nullopt;
    }
    const QJsonObject object = value.toObject();
    const QJsonValue id = object.value(QStringLiteral("id"));
    const QJsonValue date = object.value(QStringLiteral("date"));
    const QJsonValue appName = object.value(QStringLiteral("appName"));
    const QJsonValue text = object.value(QStringLiteral("text"));
    if (!id.isString() || !date.isDouble() || !appName.isString() || !text.isString()) {
        return std::nullopt;
    }
    const std::optional<QUuid> uuid = parseUuid(id.toString());
    if (!uuid) {
        return std::nullopt;
    }
    return DictationRecord{*uuid, date.toDouble(), appName.toString(), text.toString()};
}

}  // namespace korvu
