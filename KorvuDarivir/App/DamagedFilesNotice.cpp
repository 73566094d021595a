#include "KorvuDarivir/App/DamagedFilesNotice.h"

#include "KorvuDarivir/Store/HistoryStore.h"
#include "KorvuDarivir/Store/Vocabulary.h"
#include "Platform/Defaults/UserDefaults.h"

#include <QDir>

namespace korvu {
namespace {

QString shortened(const QString& path)
{
    const QString home = QDir::homePath();
    if (!home.isEmpty() && home != u"/" && path.startsWith(home + u'/')) {
        return u'~' + path.mid(home.size());
    }
    return path;
}

// "a", "a und b", "a, b und c".
QString listed(const QStringList& names)
{
    if (names.size() < 2) {
        return names.value(0);
    }
    return names.mid(0, names.size() - 1).join(QStringLiteral(", ")) + QStringLiteral(" und ") + names.last();
}

}  // namespace

QStringList DamagedFilesNotice::collect()
{
    (void)Vocabulary::terms();
    QStringList files = platform::UserDefaults::standard().keptAside();
    if (const auto& history = HistoryStore::shared().keptAside()) {
        files.append(QString::fromStdString(history->string()));
    }
    return files;
}

std::optional<Hint> DamagedFilesNotice::hint(const QStringList& files)
{
    if (files.isEmpty()) {
        return std::nullopt;
    }
    QStringList names;
    for (const QString& file : files) {
        names.append(shortened(file));
    }
    return Hint{HintKind::warning,
                files.size() == 1 ? QStringLiteral("Beschädigte Datei beiseitegelegt")
                                  : QStringLiteral("Beschädigte Dateien beiseitegelegt"),
                QStringLiteral("Aufbewahrt als ") + listed(names)};
}

}  // namespace korvu
