#include "Platform/Defaults/SupportDirectory.h"

#include "Platform/Defaults/PrivateFile.h"

#include <QDir>
#include <QStandardPaths>

namespace platform {

std::filesystem::path SupportDirectory::path()
{
    QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (base.isEmpty()) {
        base = QDir::homePath() + QStringLiteral("/.local/share");
    }
    const std::filesystem::path parent(base.toStdString());
    const std::filesystem::path folder = parent / folderName;

    PrivateFile::makeFolder(folder);
    return folder;
}

}  // namespace platform
