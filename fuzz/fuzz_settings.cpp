// The settings file: whatever it holds, the store opens, every typed read of every key
// the application uses answers (a file that does not parse is moved aside), and every
// value can be kept aside in a copy that reads back as JSON under its key.

#include <cstddef>
#include <cstdlib>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include "ScratchFolder.h"
#include "KorvuDarivir/Store/Settings.h"
#include "Platform/Defaults/UserDefaults.h"

namespace {

std::filesystem::path file;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    file = fuzzing::scratchFolder("settings") / "settings.json";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A fresh folder each time: files moved aside by earlier inputs would pile up.
    std::filesystem::remove_all(file.parent_path());
    std::filesystem::create_directory(file.parent_path());
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), std::streamsize(size));
    }
    using korvu::Settings;
    platform::UserDefaults defaults(QString::fromStdString(file.string()));
    for (const char* key :
         {Settings::languageKey, Settings::cleanupEnabledKey, Settings::showFloatingButtonKey, Settings::microphoneUIDKey,
          Settings::hotkeyKeyCodeKey, Settings::hotkeyModifiersKey, Settings::wordHotkeyKeyCodeKey,
          Settings::wordHotkeyModifiersKey, Settings::holdToTalkKey, Settings::movableButtonKey, Settings::historyEnabledKey,
          Settings::onboardingCompletedKey, Settings::modelPreparedKey, Settings::appStylesKey, Settings::buttonOffsetsKey,
          Settings::vocabularyKey, Settings::settingsTabKey}) {
        const QString name = QString::fromLatin1(key);
        (void)defaults.object(name);
        (void)defaults.string(name);
        (void)defaults.boolean(name);
        (void)defaults.integer(name);
        (void)defaults.dictionary(name);
        (void)defaults.array(name);
        (void)defaults.stringArray(name);
        if (const std::optional<QString> aside = defaults.keepValueAside(name)) {
            QFile copy(*aside);
            const QJsonDocument document =
                copy.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(copy.readAll()) : QJsonDocument();
            if (!document.isObject() || !document.object().contains(name)) {
                std::abort();
            }
        }
    }
    return 0;
}
