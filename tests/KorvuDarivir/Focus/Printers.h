#pragma once

// Readable failure messages for the tracker's values.
#include "KorvuDarivir/Dictation/FocusTracker.h"

#include <ostream>

namespace korvu {
inline void PrintTo(const FocusedField& field, std::ostream* out)
{
    *out << "{pid " << field.pid << ", " << field.frame.x() << "," << field.frame.y() << " " << field.frame.width()
         << "x" << field.frame.height() << "}";
}
}  // namespace korvu
