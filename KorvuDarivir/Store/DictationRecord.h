#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <QUuid>

#include <optional>

namespace korvu {

// One history entry. Equal when all four fields are equal.
struct DictationRecord {
    QUuid id;
    // Seconds since 1 January 2001 00:00:00 UTC, with fraction: the form the history file
    // stores, kept as is so that a record survives a write and a read unchanged.
    double date = 0.0;
    QString appName;
    QString text;  // exactly as inserted

    // Seconds between 1970-01-01 and 2001-01-01 (UTC).
    static constexpr double referenceDateOffset = 978307200.0;

    static double dateFrom(const QDateTime& dateTime);
    QDateTime dateTime() const;

    // {"id": "UPPER-CASE-UUID", "date": seconds, "appName": ..., "text": ...}
    QJsonObject toJson() const;
    // All four members required with the right types, the id in its 36-character form in
    // either case; other members are ignored. Nothing when anything is off.
    static std::optional<DictationRecord> fromJson(const QJsonValue& value);

    friend bool operator==(const DictationRecord&, const DictationRecord&) = default;
};

}  // namespace korvu
