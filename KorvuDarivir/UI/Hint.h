#pragma once

#include <QString>

#include <optional>

namespace korvu {

enum class HintKind { info, warning, error };

// A short toast: what just happened, in one line or two. The owners build it; the hint
// panel only shows it.
struct Hint {
    HintKind kind = HintKind::info;
    QString title;                  // the first line, always shown
    std::optional<QString> detail;  // the second line; empty for a one-line hint

    friend bool operator==(const Hint&, const Hint&) = default;
};

}  // namespace korvu
