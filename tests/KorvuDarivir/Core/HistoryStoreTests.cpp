#include "QtPrinters.h"
#include "KorvuDarivir/Store/HistoryStore.h"
#include "KorvuDarivir/Store/Settings.h"
#include "Platform/Defaults/UserDefaults.h"

#include "support/TempDir.h"
#include "TestPaths.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

namespace {

using korvu::DictationRecord;
using korvu::HistoryStore;
namespace fs = std::filesystem;

class HistoryStoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::UserDefaults::standard().removeAllStoredValues();
        korvu::Settings::registerDefaults();
    }
    void TearDown() override { platform::UserDefaults::standard().removeAllStoredValues(); }

    fs::path historyFile() const { return dir.path() / "Verlauf.json"; }

    void writeFile(const QByteArray& data) const
    {
        std::ofstream out(historyFile(), std::ios::binary);
        out.write(data.constData(), data.size());
    }

    static QByteArray read(const fs::path& path)
    {
        QFile file(QString::fromStdString(path.string()));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // A valid record object numbered `n`; a larger n is older.
    static QJsonObject recordJson(int n)
    {
        return QJsonObject{{"id", QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper()},
                           {"date", 700000000.0 - n},
                           {"appName", "Kate"},
                           {"text", QString("Text %1").arg(n)}};
    }

    // Temporary files of the atomic rewrite in the folder.
    int temporaryFiles() const
    {
        int count = 0;
        for (const auto& entry : fs::directory_iterator(dir.path())) {
            count += entry.path().filename().string().starts_with(".Verlauf.json.") ? 1 : 0;
        }
        return count;
    }

    testsupport::TempDir dir;
};

TEST_F(HistoryStoreTest, ALongerFileLoadsWholeAndEachAdditionKeepsTheNewestFifty)
{
    QJsonArray array;
    for (int i = 0; i < 60; ++i) {
        array.append(recordJson(i));
    }
    writeFile(QJsonDocument(array).toJson());
    HistoryStore store(dir.path());
    ASSERT_EQ(store.records().size(), 60);
    EXPECT_EQ(store.records()[59].text, "Text 59");
    int changes = 0;
    QObject::connect(&store, &HistoryStore::recordsChanged, [&] { ++changes; });
    store.add("neu", "Kate");
    ASSERT_EQ(store.records().size(), 50);
    EXPECT_EQ(store.records()[49].text, "Text 48");
    store.add("neuer", "Kate");
    EXPECT_EQ(changes, 2);
    ASSERT_EQ(store.records().size(), 50);
    EXPECT_EQ(store.records()[0].text, "neuer");
    EXPECT_EQ(store.records()[1].text, "neu");
    EXPECT_EQ(store.records()[49].text, "Text 47");
    EXPECT_EQ(HistoryStore(dir.path()).records(), store.records());
}

TEST_F(HistoryStoreTest, TheFileIsACompactArrayReadableOnlyByTheUserThatLoadsExactly)
{
    const QString text = QString::fromUtf8("Zeile eins\nZeile „zwei“ mit \"Anführung\", \\ und 😀\tTab");
    const QString app = QString::fromUtf8("Gnome Text Editor – Größe");
    HistoryStore store(dir.path());
    const auto before = QDateTime::currentDateTimeUtc();
    store.add(text, app);
    const auto after = QDateTime::currentDateTimeUtc();
    EXPECT_EQ(HistoryStore(dir.path()).records(), store.records());

    const QByteArray data = read(historyFile());
    EXPECT_FALSE(data.contains('\n') || data.contains(": "));
    const QJsonArray array = QJsonDocument::fromJson(data).array();
    ASSERT_EQ(array.size(), 1);
    const QJsonObject object = array[0].toObject();
    EXPECT_TRUE(QRegularExpression("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$")
                    .match(object["id"].toString())
                    .hasMatch());
    // Seconds since 2001-01-01 UTC.
    const double date = object["date"].toDouble();
    EXPECT_GE(date, before.toMSecsSinceEpoch() / 1000.0 - 978307200.0 - 0.001);
    EXPECT_LE(date, after.toMSecsSinceEpoch() / 1000.0 - 978307200.0 + 0.001);
    EXPECT_EQ(object["appName"].toString(), app);
    EXPECT_EQ(object["text"].toString(), text);

    struct stat info {};
    ASSERT_EQ(::stat(historyFile().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(HistoryStoreTest, NothingIsRecordedWhileTheHistoryIsOff)
{
    platform::UserDefaults::standard().set("historyEnabled", false);
    HistoryStore store(dir.path());
    store.add("geheim", "Kate");
    EXPECT_TRUE(store.records().isEmpty());
    EXPECT_FALSE(fs::exists(historyFile()));

    platform::UserDefaults::standard().set("historyEnabled", true);
    store.add("eins", "Kate");
    const QByteArray written = read(historyFile());
    platform::UserDefaults::standard().set("historyEnabled", false);
    store.add("zwei", "Kate");
    EXPECT_EQ(store.records().size(), 1);
    EXPECT_EQ(read(historyFile()), written);
}

TEST_F(HistoryStoreTest, AFileThatDoesNotDecodeIsKeptAsideEachInItsOwnPlaceBeforeTheHistoryStartsEmpty)
{
    QJsonObject incomplete = recordJson(3);
    incomplete.remove("appName");
    const QByteArray original = QJsonDocument(QJsonArray{recordJson(1), recordJson(2), incomplete}).toJson();
    writeFile(original);
    {
        HistoryStore store(dir.path());
        EXPECT_TRUE(store.records().isEmpty());
        store.add("neu", "Kate");
    }
    const HistoryStore reloaded(dir.path());
    ASSERT_EQ(reloaded.records().size(), 1);
    EXPECT_EQ(reloaded.records()[0].text, "neu");
    EXPECT_EQ(read(dir.path() / "Verlauf.json.defekt"), original);

    for (const char* broken : {"nicht json", "{\"kein\": \"array\"}", ""}) {
        writeFile(broken);
        HistoryStore store(dir.path());
    }
    EXPECT_EQ(read(dir.path() / "Verlauf.json.defekt"), original);
    EXPECT_EQ(read(dir.path() / "Verlauf.json.defekt.1"), "nicht json");
    EXPECT_EQ(read(dir.path() / "Verlauf.json.defekt.2"), "{\"kein\": \"array\"}");
    EXPECT_TRUE(fs::exists(dir.path() / "Verlauf.json.defekt.3"));
    EXPECT_FALSE(fs::exists(historyFile()));
}

TEST_F(HistoryStoreTest, DecodingIsStrictAboutMembersButNotAboutCaseOrExtras)
{
    QJsonObject lower = recordJson(1);
    lower["id"] = QUuid::createUuid().toString(QUuid::WithoutBraces).toLower();
    lower["extra"] = true;
    QJsonObject wholeSeconds = recordJson(2);
    wholeSeconds["date"] = 12345;
    writeFile(QJsonDocument(QJsonArray{lower, wholeSeconds}).toJson());
    {
        HistoryStore store(dir.path());
        ASSERT_EQ(store.records().size(), 2);
        EXPECT_EQ(store.records()[0].id, QUuid::fromString(lower["id"].toString()));
        EXPECT_EQ(store.records()[1].date, 12345.0);
    }

    // One malformed record rejects the whole file.
    const std::pair<const char*, QJsonValue> malformed[] = {
        {"id", QUuid::createUuid().toString(QUuid::WithBraces)}, {"id", "1234"}, {"date", "gestern"},
        {"text", 5}, {"appName", QJsonValue::Null}};
    for (const auto& [member, value] : malformed) {
        QJsonObject record = recordJson(1);
        record[member] = value;
        writeFile(QJsonDocument(QJsonArray{recordJson(0), record}).toJson());
        EXPECT_TRUE(HistoryStore(dir.path()).records().isEmpty()) << member;
        fs::remove_all(dir.path());
        fs::create_directories(dir.path());
    }
}

TEST_F(HistoryStoreTest, AFailedWriteKeepsTheRecordInMemoryAndLeavesNoTemporaryFile)
{
    HistoryStore store(dir.path());
    store.add("eins", "Kate");
    const QByteArray written = read(historyFile());
    // A folder in the file's place makes the final rename fail, even for root.
    fs::rename(historyFile(), dir.path() / "kept.json");
    fs::create_directories(historyFile() / "inhalt");
    store.add("zwei", "Kate");
    ASSERT_EQ(store.records().size(), 2);
    EXPECT_EQ(store.records()[0].text, "zwei");
    EXPECT_TRUE(fs::is_directory(historyFile()));
    EXPECT_EQ(temporaryFiles(), 0);
    EXPECT_EQ(read(dir.path() / "kept.json"), written);
}

TEST_F(HistoryStoreTest, LoadingRemovesLeftoversOfInterruptedWritesButCreatesNothingAndClearDeletesTheFile)
{
    std::ofstream((dir.path() / ".Verlauf.json.AbC123").string()) << "[{\"half";
    std::ofstream((dir.path() / "Notiz.txt").string()) << "bleibt";
    HistoryStore store(dir.path());
    int changes = 0;
    QObject::connect(&store, &HistoryStore::recordsChanged, [&] { ++changes; });
    EXPECT_TRUE(store.records().isEmpty());
    store.clear();
    EXPECT_EQ(temporaryFiles(), 0);
    EXPECT_TRUE(fs::exists(dir.path() / "Notiz.txt"));
    EXPECT_FALSE(fs::exists(historyFile()));
    EXPECT_EQ(changes, 0);

    store.add("eins", "Kate");
    ASSERT_TRUE(fs::exists(historyFile()));
    store.clear();
    EXPECT_TRUE(store.records().isEmpty());
    EXPECT_FALSE(fs::exists(historyFile()));
    store.clear();
    EXPECT_EQ(changes, 2);
}

TEST_F(HistoryStoreTest, AHistoryWrittenByAProcessKilledMidWriteIsStillReadable)
{
    const QString helper = QString(testsupport::kBinDir) + "/korvu-test-history-writer";
    ASSERT_TRUE(QFile::exists(helper)) << helper.toStdString();
    std::mt19937 random(20261206);
    qsizetype previous = 0;
    int killsInsideAWrite = 0;
    for (int round = 0; round < 10; ++round) {
        QProcess writer;
        writer.start(helper, {QString::fromStdString(dir.path().string())});
        ASSERT_TRUE(writer.waitForStarted());
        QByteArray output;
        // Wait for the load line and at least one completed addition, then kill it at a
        // random moment of the following writes.
        while (output.count('\n') < 2) {
            ASSERT_TRUE(writer.waitForReadyRead(30000)) << output.toStdString();
            output += writer.readAllStandardOutput();
        }
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 30000));
        writer.kill();  // SIGKILL
        ASSERT_TRUE(writer.waitForFinished(30000));
        output += writer.readAllStandardOutput();

        // The helper itself found the history it left last round.
        EXPECT_TRUE(output.startsWith("loaded " + QByteArray::number(previous) + "\n")) << output.left(40).toStdString();

        // A temporary file left behind means the kill landed inside a write (how often
        // depends on the machine's speed, so it is only reported).
        killsInsideAWrite += temporaryFiles();
        HistoryStore store(dir.path());
        EXPECT_FALSE(fs::exists(dir.path() / "Verlauf.json.defekt")) << "round " << round;
        ASSERT_FALSE(store.records().isEmpty()) << "round " << round;
        EXPECT_LE(store.records().size(), 50);
        for (const DictationRecord& record : store.records()) {
            EXPECT_TRUE(record.text.startsWith("Diktat "));
            EXPECT_EQ(record.appName, "Helfer");
        }
        previous = store.records().size();
    }
    RecordProperty("killsInsideAWrite", killsInsideAWrite);
    EXPECT_EQ(temporaryFiles(), 0);  // the last load removed them
}

TEST(HistoryTimeLabel, TodayTheTimeYesterdayByTheCalendarOtherwiseDayAndMonthInTheLocalesOrder)
{
    const QDateTime now{QDate(2026, 3, 15), QTime(14, 5)};
    const QDateTime justAfterMidnight(QDate(2026, 3, 15), QTime(0, 30));
    const QLocale german{QLocale::German, QLocale::Germany};
    const QLocale american{QLocale::English, QLocale::UnitedStates};
    const auto at = [](int month, int day, int hour, int minute) { return QDateTime(QDate(2026, month, day), QTime(hour, minute)); };
    struct Case {
        QDateTime date, now;
        const QLocale& locale;
        const char* label;
    };
    const Case cases[] = {
        {at(3, 15, 9, 7), now, german, "09:07"},
        {at(3, 15, 9, 7).toUTC(), now, german, "09:07"},  // shown in local time
        {at(3, 15, 23, 59), now, german, "23:59"},        // later today (a clock that went back)
        {at(3, 14, 0, 0), now, german, "Gestern"},
        {at(3, 14, 23, 59), now, american, "Gestern"},
        {at(3, 14, 23, 0), justAfterMidnight, german, "Gestern"},
        {at(3, 13, 23, 59), justAfterMidnight, german, "13.03."},
        {at(3, 13, 12, 0), now, american, "03/13"},
        {at(3, 16, 8, 0), now, german, "16.03."},
        {QDateTime(QDate(2025, 3, 15), QTime(14, 5)), now, german, "15.03."},
        {at(1, 2, 1, 0), now, american, "01/02"},
    };
    for (const Case& k : cases) {
        EXPECT_EQ(HistoryStore::timeLabel(k.date, k.now, k.locale), k.label) << k.date.toString().toStdString();
    }
    const QString american9 = HistoryStore::timeLabel(at(3, 15, 9, 7), now, american);
    EXPECT_TRUE(american9.startsWith("9:07") && american9.endsWith("AM")) << american9.toStdString();
}

}  // namespace
