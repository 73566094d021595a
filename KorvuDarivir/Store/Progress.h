#pragma once

#include <algorithm>
#include <cmath>

namespace korvu {

// A progress value as the application shows it: held to 0...1, NaN read as 0 (converting
// NaN or a huge value to an integer would be undefined, and NaN never equals itself).
inline double unitFraction(double value)
{
    return std::isnan(value) ? 0.0 : std::clamp(value, 0.0, 1.0);
}

// Whole percent, truncated: 0.999 shows as 99.
inline int wholePercent(double value)
{
    return static_cast<int>(unitFraction(value) * 100.0);
}

}  // namespace korvu
