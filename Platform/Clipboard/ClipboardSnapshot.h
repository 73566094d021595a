#pragma once

#include <QByteArray>
#include <QString>

#include <utility>
#include <vector>

namespace platform {

// The contents of the clipboard at one moment: every format the owner offered, with
// the bytes it gave for it, in the owner's order.
struct ClipboardSnapshot {
    std::vector<std::pair<QString, QByteArray>> formats;

    bool empty() const { return formats.empty(); }
};

}  // namespace platform
