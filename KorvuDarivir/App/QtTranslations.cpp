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
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    if (!translator->load(german, QStringLiteral("qt"), QStringLiteral("_"), folder)) {
        delete translator;
        return false;
    }
    return QCoreApplication::installTranslator(translator);
}

}  // namespace korvu
