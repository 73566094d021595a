// What the stores do when the disk refuses a write (something in the file's place, a
// read-only folder, a full disk), the modes of what they write, and the length bound of a
// vocabulary term.
#include "KorvuDarivir/Store/FailureText.h"
#include "KorvuDarivir/Store/HistoryStore.h"
#include "KorvuDarivir/Store/Settings.h"
#include "KorvuDarivir/Store/Vocabulary.h"
#include "Platform/Defaults/PrivateFile.h"
#include "Platform/Defaults/SupportDirectory.h"
#include "Platform/Defaults/UserDefaults.h"

#include "support/TempDir.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>

#include "support/QtPrinters.h"

namespace {

using namespace korvu;
namespace fs = std::filesystem;
using platform::WriteError;
using Reason = WriteError::Reason;

QByteArray contents(const fs::path& path)
{
    QFile file(QString::fromStdString(path.string()));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

mode_t modeOf(const fs::path& path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

// True when a file can be made in `folder` although its mode forbids it (root can).
bool modeIsIgnored(const fs::path& folder)
{
    const fs::path probe = folder / "probe";
    const bool made = std::ofstream(probe).good();
    fs::remove(probe);
    return made;
}

// One way for a write to fail. `block` puts the obstacle before `folder`'s file `name` and
// `clear` takes it away; both get the seam's error to set where the disk itself cannot
// be made to refuse (a full disk in a test's folder; a read-only mode when running as
// root, which ignores it).
struct Obstacle {
    const char* what;
    Reason reason;
    const char* says;  // part of the sentence the user reads
    std::function<void(const fs::path& file, std::optional<int>& seam)> block;
    std::function<void(const fs::path& file, std::optional<int>& seam)> clear;
};

const Obstacle obstacles[] = {
    {"a folder in the file's place", Reason::inTheWay, "liegt etwas anderes",
     [](const fs::path& file, std::optional<int>&) {
         fs::rename(file, fs::path(file) += ".kept");
         fs::create_directories(file / "inhalt");
     },
     [](const fs::path& file, std::optional<int>&) {
         fs::remove_all(file);
         fs::rename(fs::path(file) += ".kept", file);
     }},
    {"a read-only folder", Reason::readOnly, "ist schreibgeschützt",
     [](const fs::path& file, std::optional<int>& seam) {
         ::chmod(file.parent_path().c_str(), 0500);
         if (modeIsIgnored(file.parent_path())) {
             // Root ignores the mode; the program's test makes a real read-only mount.
             std::fprintf(stderr, "read-only folder: the mode does not stop this user, the write fails through the seam\n");
             seam = EROFS;
         }
     },
     [](const fs::path& file, std::optional<int>& seam) {
         ::chmod(file.parent_path().c_str(), 0700);
         seam.reset();
     }},
    {"a full disk", Reason::diskFull, "Datenträger ist voll",
     [](const fs::path&, std::optional<int>& seam) { seam = ENOSPC; },
     [](const fs::path&, std::optional<int>& seam) { seam.reset(); }},
};

// Writes through the real writer unless the seam holds an error.
platform::PrivateFile::Writer writerWith(const std::optional<int>& seam)
{
    return [&seam](const fs::path& target, const QByteArray& data) {
        if (seam) throw WriteError(target, *seam);
        platform::PrivateFile::write(target, data);
    };
}

TEST(WriteFailure, SettingsSayWhyKeepTheValueAndTheNextWriteStoresEverything)
{
    for (const Obstacle& obstacle : obstacles) {
        SCOPED_TRACE(obstacle.what);
        const testsupport::TempDir dir;
        const fs::path file = dir / "KORVU Darivir" / "settings.json";
        std::optional<int> seam;
        platform::UserDefaults defaults(QString::fromStdString(file.string()), writerWith(seam));
        ASSERT_EQ(defaults.set("language", "en"), std::nullopt);
        const QByteArray before = contents(file);
        QStringList failedKeys;
        QObject::connect(&defaults, &platform::UserDefaults::writeFailed, [&](const QString& key) { failedKeys << key; });
        int savedAgain = 0;
        QObject::connect(&defaults, &platform::UserDefaults::savedAgain, [&] { ++savedAgain; });

        obstacle.block(file, seam);
        const std::optional<WriteError> failure = defaults.set("vocabulary", QStringList{"Nachher"});
        ASSERT_TRUE(failure.has_value()) << "a failed write is no success";
        EXPECT_EQ(failure->reason(), obstacle.reason);
        EXPECT_TRUE(FailureText::notSaved(*failure).contains(QString::fromUtf8(obstacle.says)))
            << FailureText::notSaved(*failure).toStdString();
        EXPECT_EQ(failedKeys, QStringList{"vocabulary"});
        EXPECT_EQ(defaults.unsavedFailure().has_value(), true);
        EXPECT_EQ(defaults.stringArray("vocabulary"), QStringList{"Nachher"}) << "kept in memory";
        EXPECT_EQ(defaults.save().has_value(), true) << "still in the way";

        obstacle.clear(file, seam);
        EXPECT_EQ(contents(file), before) << "the old file is intact";
        EXPECT_EQ(defaults.set("language", "de"), std::nullopt);
        EXPECT_EQ(defaults.unsavedFailure(), std::nullopt);
        EXPECT_EQ(savedAgain, 1);
        const QJsonObject written = QJsonDocument::fromJson(contents(file)).object();
        EXPECT_EQ(written.value("vocabulary").toArray(), QJsonArray{"Nachher"}) << "the next write tries again";
        EXPECT_EQ(written.value("language").toString(), "de");
        EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), fs::directory_iterator()), 1)
            << "no temporary file is left";
    }
}

TEST(WriteFailure, HistorySaysWhyKeepsTheRecordAndTheNextAdditionWritesBoth)
{
    platform::UserDefaults::standard().removeAllStoredValues();
    Settings::registerDefaults();
    for (const Obstacle& obstacle : obstacles) {
        SCOPED_TRACE(obstacle.what);
        const testsupport::TempDir dir;
        std::optional<int> seam;
        HistoryStore store(dir.path(), writerWith(seam));
        ASSERT_EQ(store.add("eins", "Kate"), std::nullopt);
        const fs::path file = store.filePath();
        const QByteArray before = contents(file);

        obstacle.block(file, seam);
        const std::optional<WriteError> failure = store.add("zwei", "Kate");
        ASSERT_TRUE(failure.has_value());
        EXPECT_EQ(failure->reason(), obstacle.reason);
        EXPECT_EQ(store.records().size(), 2) << "kept in memory";

        obstacle.clear(file, seam);
        EXPECT_EQ(contents(file), before);
        EXPECT_EQ(store.add("drei", "Kate"), std::nullopt);
        EXPECT_EQ(HistoryStore(dir.path()).records().size(), 3) << "the next write tries again";
    }
}

// The standard store, as the settings window and the word shortcut use it: a folder in
// place of the settings file.
TEST(WriteFailure, VocabularyAddAndRemoveThrowWhatTheSettingsSay)
{
    platform::UserDefaults& defaults = platform::UserDefaults::standard();
    defaults.removeAllStoredValues();
    const fs::path file = defaults.filePath().toStdString();
    std::optional<int> unused;
    obstacles[0].block(file, unused);
    try {
        Vocabulary::add("Nachher");
        ADD_FAILURE() << "no failure reported";
    } catch (const WriteError& error) {
        EXPECT_EQ(error.reason(), Reason::inTheWay);
    }
    EXPECT_THROW(Vocabulary::remove("Vorher"), WriteError);
    EXPECT_EQ(Vocabulary::terms(), QStringList{"Nachher"});
    obstacles[0].clear(file, unused);
    EXPECT_EQ(Vocabulary::add("Später"), 1);
    EXPECT_EQ(platform::UserDefaults(defaults.filePath()).stringArray("vocabulary"), (QStringList{"Nachher", "Später"}));
}

TEST(PrivateFiles, StoredFilesAreTheUsersAloneAlsoWhereAnOlderVersionLeftThemOpen)
{
    const mode_t previous = ::umask(0022);
    const testsupport::TempDir dir;
    // Folders and files as an older version (or the user's umask) left them.
    const fs::path config = dir / "config" / "KORVU Darivir";
    const fs::path data = dir / "data" / "KORVU Darivir";
    for (const fs::path& folder : {config, data}) {
        fs::create_directories(folder);
        ::chmod(folder.c_str(), 0755);
    }
    std::ofstream(config / "settings.json") << R"({"language": "en"})";
    std::ofstream(data / "Verlauf.json") << "[]";
    ::chmod((config / "settings.json").c_str(), 0644);
    ::chmod((data / "Verlauf.json").c_str(), 0644);

    platform::UserDefaults defaults(QString::fromStdString((config / "settings.json").string()));
    EXPECT_EQ(modeOf(config), 0700u);
    EXPECT_EQ(modeOf(config / "settings.json"), 0600u) << "an open file is closed when it is read";
    EXPECT_EQ(defaults.string("language"), QString("en"));
    defaults.set("language", "de");
    EXPECT_EQ(modeOf(config / "settings.json"), 0600u);

    HistoryStore history(data);
    EXPECT_EQ(modeOf(data / "Verlauf.json"), 0600u);
    ::chmod(data.c_str(), 0755);
    ::chmod((data / "Verlauf.json").c_str(), 0644);
    platform::UserDefaults::standard().removeAllStoredValues();
    Settings::registerDefaults();
    history.add("Hallo", "Kate");
    EXPECT_EQ(modeOf(data), 0700u);
    EXPECT_EQ(modeOf(data / "Verlauf.json"), 0600u);

    // A new file and folder, whatever the umask allows.
    ::umask(0);
    const fs::path fresh = dir / "fresh" / "settings.json";
    platform::UserDefaults(QString::fromStdString(fresh.string())).set("language", "en");
    EXPECT_EQ(modeOf(fresh.parent_path()), 0700u);
    EXPECT_EQ(modeOf(fresh), 0600u);
    ::umask(previous);

    // The support folder, made 0700 at every use.
    const fs::path support = platform::SupportDirectory::path();
    ::chmod(support.c_str(), 0755);
    EXPECT_EQ(platform::SupportDirectory::path(), support);
    EXPECT_EQ(modeOf(support), 0700u);
}

// A term of a few characters may carry any number of combining marks: it is bounded in
// UTF-16 units too, when added and when loaded.
TEST(VocabularyLength, ATermIsBoundedInCharactersAndInUnits)
{
    platform::UserDefaults& defaults = platform::UserDefaults::standard();
    const QString marks240 = QString(u'Z') + QString(239, QChar(0x0301));  // one character, 240 units
    const QString marks241 = marks240 + QChar(0x0301);
    const QString hundredThousand = QString(u'Z') + QString(100000, QChar(0x0301));
    struct Case {
        QString term;
        bool fits;
    };
    const Case cases[] = {{marks240, true}, {marks241, false}, {hundredThousand, false},
                          {QString(60, u'x'), true}, {QString(61, u'x'), false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.term.size());
        defaults.removeAllStoredValues();
        EXPECT_EQ(Vocabulary::fits(c.term), c.fits);
        EXPECT_EQ(Vocabulary::add(c.term), c.fits ? 1 : 0);
        EXPECT_EQ(Vocabulary::terms().size(), c.fits ? 1 : 0);
    }
    // A stored over-long term (from a file written before the bound) is set aside, the
    // others stay.
    defaults.removeAllStoredValues();
    const qsizetype asideBefore = defaults.keptAside().size();
    defaults.set("vocabulary", QStringList{"Tannholt", hundredThousand, marks240});
    EXPECT_EQ(Vocabulary::terms(), (QStringList{"Tannholt", marks240}));
    EXPECT_EQ(defaults.stringArray("vocabulary"), (QStringList{"Tannholt", marks240}));
    ASSERT_EQ(defaults.keptAside().size(), asideBefore + 1);
    EXPECT_TRUE(contents(defaults.keptAside().back().toStdString()).size() > 100000) << "the long term is kept aside";
    fs::remove(defaults.keptAside().back().toStdString());
}

}  // namespace
