#pragma once

#include <QLocale>

class QCoreApplication;

namespace korvu {

// Qt's own texts (the context menu of a text field, standard dialogs, key names in menus)
// in the language of the rest of the application.
class QtTranslations {
public:
    QtTranslations() = delete;

    // Loads Qt's German translations into `application` when the locale is German or
    // unset (C, POSIX). False when the locale is another language or the translations are
    // not installed; the application then runs with Qt's English.
    static bool install(QCoreApplication& application, const QLocale& locale = QLocale::system());
};

}  // namespace korvu
