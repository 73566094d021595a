#pragma once

#include <QString>

#include <unicode/unistr.h>

namespace korvu {

// QString and ICU's UnicodeString both hold UTF-16: the conversions copy the code units
// as they are.
inline icu::UnicodeString toIcu(const QString& text)
{
    return icu::UnicodeString(reinterpret_cast<const UChar*>(text.utf16()), static_cast<int32_t>(text.size()));
}

inline QString fromIcu(const icu::UnicodeString& text)
{
    return QString(reinterpret_cast<const QChar*>(text.getBuffer()), text.length());
}

}  // namespace korvu
