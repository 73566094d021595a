#include "KorvuDarivir/App/QtTranslations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

namespace korvu {

bool QtTranslations::install(QCoreApplication& application, const QLocale& locale)
{
    const bool unset = locale.language() == QLocale::C;
    if (!unset && locale.language() != QLocale::German) return false;
    // "qt_de" bundles the translations of Qt's modules, qtbase among them.
    const QLocale german(QLocale::German, unset ? QLocale::Germany : locale.territory());
    auto* translator = new QTranslator(&application);
    if (!translator->load(german, QStringLiteral("qt"), QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        delete translator;
        return false;
    }
    return QCoreApplication::installTranslator(translator);
}

}  // namespace korvu
