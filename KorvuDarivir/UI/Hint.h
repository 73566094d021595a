#pragma once

#include <QString>

#include <optional>

namespace korvu {

enum class HintKind { info, warning, error };

// A short toast: a title and an optional second line. Equal when all three parts are.
struct Hint {
    HintKind kind = HintKind::info;
    QString title;
    std::optional<QString> detail;

    friend bool operator==(const Hint&, const Hint&) = default;
};

}  // namespace korvu
