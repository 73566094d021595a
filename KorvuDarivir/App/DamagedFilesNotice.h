#pragma once

#include "KorvuDarivir/UI/Hint.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace korvu {

// The one notice at start about damaged files: a store that cannot read its file (or a
// value in it) moves it aside as "….defekt" and starts empty, which would otherwise look
// to the user as if settings, vocabulary or history had been wiped.
class DamagedFilesNotice {
public:
    DamagedFilesNotice() = delete;

    // Has the stores read what they keep (settings, vocabulary, history), so that a damaged
    // file is set aside now rather than at some later use, and returns every file they set
    // aside since they were made.
    static QStringList collect();

    // The hint naming `files` (home shown as "~"); nothing when there are none.
    static std::optional<Hint> hint(const QStringList& files);
};

}  // namespace korvu
