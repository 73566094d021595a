#pragma once

// Readable Qt values in test failure messages.
#include <QString>

#include <optional>
#include <ostream>

inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

inline void PrintTo(const std::optional<QString>& text, std::ostream* out)
{
    if (text) {
        PrintTo(*text, out);
    } else {
        *out << "none";
    }
}
