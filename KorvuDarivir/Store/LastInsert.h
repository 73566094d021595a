#pragma once

#include <QString>

namespace korvu {

// The last text inserted: how many words, into which application.
struct LastInsert {
    int words = 0;
    QString appName;

    friend bool operator==(const LastInsert&, const LastInsert&) = default;
};

}  // namespace korvu
