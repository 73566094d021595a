#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace korvu {

// What the program answers on the command line before it starts anything: "--help" and
// "--version" (as the first argument) print their text and end, without a display and
// without asking a running instance anything.
class CommandLine {
public:
    enum class Information { help, version };

    // The request in `arguments` (the program's name first), none for any other start.
    static std::optional<Information> informationRequest(const QStringList& arguments);
    // The text to print for it, ending in a line feed.
    static QString text(Information information);
};

}  // namespace korvu
