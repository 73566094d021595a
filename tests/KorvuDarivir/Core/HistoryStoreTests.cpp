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

using korvu::HistoryStore;
namespace fs = std::filesystem;

platform::UserDefaults& defaults() { return platform::UserDefaults::standard(); }

QByteArray read(const fs::path& path)
{
    QFile file(QString::fromStdString(path.string()));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A valid record object numbered `n`; a larger n is older.
QJsonObject recordJson(int n)
{
    return {{"id", QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper()},
            {"date", 700000000.0 - n}, {"appName", "Kate"}, {"text", QString("Text %1").arg(n)}};
}

class HistoryStoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        defaults().removeAllStoredValues();
        korvu::Settings::registerDefaults();
    }
    void TearDown() override { defaults().removeAllStoredValues(); }

    fs::path file() const { return dir / "Verlauf.json"; }
    void write(const QByteArray& data) const { std::ofstream(file(), std::ios::binary) << data.toStdString(); }
    // Temporary files of the atomic rewrite in the folder.
    int temporaryFiles() const
    {
        int count = 0;
        for (const auto& entry : fs::directory_iterator(dir.path()))
            count += entry.path().filename().string().starts_with(".Verlauf.json.") ? 1 : 0;
        return count;
    }

    testsupport::TempDir dir;
};

TEST_F(HistoryStoreTest, ALongerFileLoadsWholeAndAnAdditionWritesTheNewestFiftyForTheUserOnly)
{
    QJsonArray array;
    for (int i = 0; i < 60; ++i) array.append(recordJson(i));
    write(QJsonDocument(array).toJson());
    HistoryStore store(dir.path());
    ASSERT_EQ(store.records().size(), 60);
    const QString text = QString::fromUtf8("Zeile eins\nZeile „zwei“ mit \"Anführung\", \\ und 😀\tTab");
    const double now = QDateTime::currentMSecsSinceEpoch() / 1000.0 - 978307200.0;
    store.add(text, QString::fromUtf8("Text Editor – Größe"));
    ASSERT_EQ(store.records().size(), 50);
    EXPECT_EQ(store.records()[49].text, "Text 48");
    EXPECT_EQ(HistoryStore(dir.path()).records(), store.records());

    const QJsonObject newest = QJsonDocument::fromJson(read(file())).array()[0].toObject();
    EXPECT_TRUE(QRegularExpression("^[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}$").match(newest["id"].toString()).hasMatch());
    EXPECT_NEAR(newest["date"].toDouble(), now, 5.0) << "seconds since 2001-01-01 UTC";
    EXPECT_EQ(newest["text"].toString(), text);
    struct stat info {};
    ASSERT_EQ(::stat(file().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(HistoryStoreTest, NothingIsRecordedWhileTheHistoryIsOff)
{
    defaults().set("historyEnabled", false);
    HistoryStore store(dir.path());
    store.add("geheim", "Kate");
    EXPECT_TRUE(store.records().isEmpty());
    EXPECT_FALSE(fs::exists(file()));
    defaults().set("historyEnabled", true);
    store.add("eins", "Kate");
    const QByteArray written = read(file());
    defaults().set("historyEnabled", false);
    store.add("zwei", "Kate");
    EXPECT_EQ(store.records().size(), 1);
    EXPECT_EQ(read(file()), written);
}

TEST_F(HistoryStoreTest, AFileThatDoesNotDecodeIsKeptAsideEachInItsOwnPlace)
{
    // Lenient about case and extra members, strict about every member's type.
    QJsonObject lenient = recordJson(1);
    lenient["id"] = lenient["id"].toString().toLower();
    lenient["extra"] = true;
    lenient["date"] = 12345;
    write(QJsonDocument(QJsonArray{lenient}).toJson());
    ASSERT_EQ(HistoryStore(dir.path()).records().size(), 1);
    EXPECT_EQ(HistoryStore(dir.path()).records()[0].date, 12345.0);

    std::vector<QByteArray> broken{"nicht json", "{\"kein\": \"array\"}", ""};
    const std::pair<const char*, QJsonValue> malformed[] = {
        {"id", QUuid::createUuid().toString(QUuid::WithBraces)}, {"id", "1234"}, {"date", "gestern"},
        {"text", 5}, {"appName", QJsonValue::Null}, {"appName", QJsonValue::Undefined}};
    for (const auto& [member, value] : malformed) {
        QJsonObject record = recordJson(1);
        value.isUndefined() ? record.remove(member) : void(record[member] = value);
        broken.push_back(QJsonDocument(QJsonArray{recordJson(0), record}).toJson());
    }
    for (std::size_t i = 0; i < broken.size(); ++i) {
        SCOPED_TRACE(broken[i].toStdString());
        write(broken[i]);
        HistoryStore store(dir.path());
        EXPECT_TRUE(store.records().isEmpty());
        EXPECT_FALSE(fs::exists(file()));
        store.add("neu", "Kate");  // the next addition destroys nothing
        EXPECT_EQ(HistoryStore(dir.path()).records().size(), 1);
        EXPECT_EQ(read(dir / ("Verlauf.json.defekt" + (i ? "." + std::to_string(i) : ""))), broken[i]);
    }
}

TEST_F(HistoryStoreTest, WritesLeaveNoTemporaryFilesAndAFailedOneKeepsTheRecordInMemory)
{
    std::ofstream((dir / ".Verlauf.json.AbC123").string()) << "[{\"half";  // an interrupted write
    std::ofstream((dir / "Notiz.txt").string()) << "bleibt";
    HistoryStore store(dir.path());
    EXPECT_EQ(temporaryFiles(), 0);
    EXPECT_TRUE(fs::exists(dir / "Notiz.txt"));
    int changes = 0;
    QObject::connect(&store, &HistoryStore::recordsChanged, [&] { ++changes; });
    store.clear();
    EXPECT_EQ(changes, 0);
    store.add("eins", "Kate");
    const QByteArray written = read(file());
    // A folder in the file's place makes the final rename fail, even for root.
    fs::rename(file(), dir / "kept.json");
    fs::create_directories(file() / "inhalt");
    store.add("zwei", "Kate");
    ASSERT_EQ(store.records().size(), 2);
    EXPECT_EQ(temporaryFiles(), 0);
    EXPECT_EQ(read(dir / "kept.json"), written);
    fs::remove_all(file());
    store.clear();
    store.clear();
    EXPECT_TRUE(store.records().isEmpty());
    EXPECT_EQ(changes, 3);
    EXPECT_FALSE(fs::exists(file()));
}

TEST_F(HistoryStoreTest, AHistoryWrittenByAProcessKilledMidWriteIsStillReadable)
{
    const QString helper = QString(testsupport::kBinDir) + "/korvu-test-history-writer";
    ASSERT_TRUE(QFile::exists(helper)) << helper.toStdString();
    std::mt19937 random(20261206);
    qsizetype previous = 0;
    int killsInsideAWrite = 0;
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE(round);
        QProcess writer;
        writer.start(helper, {QString::fromStdString(dir.path().string())});
        ASSERT_TRUE(writer.waitForStarted());
        QByteArray output;
        // Past the load line and one completed addition, killed at a random moment.
        while (output.count('\n') < 2) {
            ASSERT_TRUE(writer.waitForReadyRead(30000)) << output.toStdString();
            output += writer.readAllStandardOutput();
        }
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 30000));
        writer.kill();  // SIGKILL
        ASSERT_TRUE(writer.waitForFinished(30000));
        // The helper itself found the history it left last round.
        EXPECT_TRUE(output.startsWith("loaded " + QByteArray::number(previous) + "\n")) << output.left(40).toStdString();
        // How often a kill lands inside a write depends on the machine: only reported.
        killsInsideAWrite += temporaryFiles();
        HistoryStore store(dir.path());
        EXPECT_FALSE(fs::exists(dir / "Verlauf.json.defekt"));
        ASSERT_FALSE(store.records().isEmpty());
        EXPECT_LE(store.records().size(), 50);
        EXPECT_TRUE(store.records().front().text.startsWith("Diktat "));
        previous = store.records().size();
    }
    RecordProperty("killsInsideAWrite", killsInsideAWrite);
    EXPECT_EQ(temporaryFiles(), 0);
}

TEST(HistoryTimeLabel, TodayTheTimeYesterdayByTheCalendarOtherwiseDayAndMonthInTheLocalesOrder)
{
    const QDateTime now{QDate(2026, 3, 15), QTime(14, 5)};
    const QDateTime afterMidnight(QDate(2026, 3, 15), QTime(0, 30));
    const QLocale german{QLocale::German, QLocale::Germany};
    const QLocale american{QLocale::English, QLocale::UnitedStates};
    const auto at = [](int month, int day, int hour, int minute) { return QDateTime(QDate(2026, month, day), QTime(hour, minute)); };
    const std::tuple<QDateTime, QDateTime, const QLocale&, const char*> cases[] = {
        {at(3, 15, 9, 7).toUTC(), now, german, "09:07"},  // shown in local time
        {at(3, 14, 23, 59), now, american, "Gestern"},
        {at(3, 14, 23, 0), afterMidnight, german, "Gestern"},
        {at(3, 13, 23, 59), afterMidnight, german, "13.03."},
        {at(3, 13, 12, 0), now, american, "03/13"},
        {at(3, 16, 8, 0), now, german, "16.03."},  // a clock that went back
        {QDateTime(QDate(2025, 3, 15), QTime(14, 5)), now, german, "15.03."},
    };
    for (const auto& [date, when, locale, label] : cases) {
        EXPECT_EQ(HistoryStore::timeLabel(date, when, locale), label) << date.toString().toStdString();
    }
    const QString american9 = HistoryStore::timeLabel(at(3, 15, 9, 7), now, american);
    EXPECT_TRUE(american9.startsWith("9:07") && american9.endsWith("AM")) << american9.toStdString();
}

}  // namespace
