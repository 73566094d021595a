#include "KorvuDarivir/App/LoginItem.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace korvu {

namespace {

// A path as one quoted argument of a desktop entry's Exec key: inside the quotes ", `, $
// and \ take a backslash, and the value's own escaping doubles every backslash.
QString quotedExec(const QString& program)
{
    QString quoted;
    for (const QChar c : program) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\')) {
            quoted += QStringLiteral("\\\\");
        }
        quoted += c;
    }
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

}  // namespace

QString LoginItem::entryPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
           + QStringLiteral("/autostart/korvu-darivir.desktop");
}

bool LoginItem::isEnabled()
{
    QFile file(entryPath());
    if (!file.open(QIODevice::ReadOnly)) {
        return false;
    }
    const QString text = QString::fromUtf8(file.readAll());
    return !text.contains(QStringLiteral("\nHidden=true")) && !text.contains(QStringLiteral("\nX-GNOME-Autostart-enabled=false"));
}

bool LoginItem::setEnabled(bool enabled, const QString& program)
{
    const QString path = entryPath();
    if (!enabled) {
        return !QFile::exists(path) || QFile::remove(path);
    }
    QDir().mkpath(QFileInfo(path).path());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        return false;
    }
    const QString exec = quotedExec(program.isEmpty() ? QCoreApplication::applicationFilePath() : program);
    file.write(QStringLiteral("[Desktop Entry]\n"
                              "Type=Application\n"
                              "Name=KORVU Darivir\n"
                              "Comment=Diktat in jedes Textfeld\n"
                              "Exec=%1\n"
                              "Icon=korvu-darivir\n"
                              "Terminal=false\n"
                              "X-GNOME-Autostart-enabled=true\n")
                   .arg(exec)
                   .toUtf8());
    return file.commit();
}

}  // namespace korvu
