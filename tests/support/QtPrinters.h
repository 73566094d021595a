#pragma once
// Readable Qt values in test failure messages.
#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>
#include <ostream>

inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }
inline void PrintTo(const QByteArray& bytes, std::ostream* out) { *out << '"' << bytes.toStdString() << '"'; }
inline void PrintTo(const QStringList& list, std::ostream* out) { *out << '[' << list.join(", ").toStdString() << ']'; }
inline void PrintTo(const std::optional<QString>& text, std::ostream* out)
{
    if (text) {
        PrintTo(*text, out);
    } else {
        *out << "none";
    }
}
