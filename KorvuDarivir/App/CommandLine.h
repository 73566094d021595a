#pragma once

#include <QLocale>
#include <QString>
#include <QStringList>

#include <optional>

class QCoreApplication;

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

    // Loads Qt's German translations into `application` when the locale is German or
    // unset (C, POSIX), so Qt's own dialogs, context menus and key names read German like
    // the rest of the application. False when the locale is another language or the
    // translations are not installed; the application then runs with Qt's English.
    static bool installQtTranslations(QCoreApplication& application, const QLocale& locale = QLocale::system());
};

}  // namespace korvu
