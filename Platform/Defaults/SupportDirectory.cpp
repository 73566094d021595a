#include "Platform/Defaults/SupportDirectory.h"

#include <QDir>
#include <QStandardPaths>

#include <sys/stat.h>
#include <sys/types.h>

#include <system_error>

namespace platform {

std::filesystem::path SupportDirectory::path()
{
    QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (base.isEmpty()) {
        base = QDir::homePath() + QStringLiteral("/.local/share");
    }
    const std::filesystem::path parent(base.toStdString());
    const std::filesystem::path folder = parent / folderName;

    std::error_code ignored;
    std::filesystem::create_directories(parent, ignored);
    // mkdir with the mode, rather than create-then-chmod, leaves no moment in which the
    // folder is readable by others. An existing folder keeps the mode its owner gave it.
    ::mkdir(folder.c_str(), 0700);
    return folder;
}

}  // namespace platform
