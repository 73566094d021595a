#include "QtPrinters.h"
#include "Platform/Defaults/SupportDirectory.h"
#include "Platform/Defaults/UserDefaults.h"

#include "support/TempDir.h"

#include <QFile>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

namespace {

QString pathOf(const testsupport::TempDir& dir, const char* name)
{
    return QString::fromStdString((dir / name).string());
}

QByteArray contentOf(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

TEST(UserDefaults, RegisteredDefaultsAreReadButNeverWritten)
{
    testsupport::TempDir dir;
    const QString file = pathOf(dir, "sub/settings.json");
    {
        platform::UserDefaults defaults(file);
        defaults.registerDefaults({{"holdToTalk", true}, {"language", "de"}});
        EXPECT_TRUE(defaults.boolean("holdToTalk"));
        EXPECT_EQ(defaults.string("language"), QString("de"));
        EXPECT_FALSE(defaults.hasStoredValue("language"));

        defaults.set("language", "en");
        EXPECT_EQ(defaults.string("language"), QString("en"));
        defaults.removeObject("language");
        EXPECT_EQ(defaults.string("language"), QString("de"));
        defaults.set("other", 1);
    }
    const QByteArray stored = contentOf(file);
    EXPECT_TRUE(stored.contains("other"));
    EXPECT_FALSE(stored.contains("holdToTalk"));
    EXPECT_FALSE(stored.contains("language"));
}

TEST(UserDefaults, ValuesKeepTheirTypesAcrossAReopen)
{
    testsupport::TempDir dir;
    const QString file = pathOf(dir, "settings.json");
    {
        platform::UserDefaults defaults(file);
        defaults.set("one", QStringList{"Tannholt"});
        defaults.set("number", 6144);
        defaults.set("flag", true);
        defaults.set("text", "42");
        defaults.set("map", QVariantMap{{"mail", "email"}});
        defaults.set("offsets", QVariantMap{{"default", QVariantList{1.5, -2.0}}});
    }
    // A second store reads what the first one wrote, as after a restart.
    platform::UserDefaults reopened(file);
    EXPECT_EQ(reopened.stringArray("one"), QStringList{"Tannholt"});
    EXPECT_EQ(reopened.integer("number"), 6144);
    EXPECT_TRUE(reopened.boolean("flag"));
    EXPECT_EQ(reopened.string("text"), QString("42"));
    EXPECT_FALSE(reopened.stringArray("text").has_value());
    EXPECT_EQ(reopened.dictionary("map")->value("mail").toString(), "email");
    const QVariantList offset = reopened.dictionary("offsets")->value("default").toList();
    ASSERT_EQ(offset.size(), 2);
    EXPECT_EQ(offset[0].toDouble(), 1.5);
    EXPECT_EQ(offset[1].toDouble(), -2.0);
}

TEST(UserDefaults, TypedReadsConvertLikeTheApplicationExpects)
{
    testsupport::TempDir dir;
    platform::UserDefaults defaults(pathOf(dir, "settings.json"));
    EXPECT_EQ(defaults.integer("missing"), 0);
    EXPECT_FALSE(defaults.boolean("missing"));
    EXPECT_FALSE(defaults.string("missing").has_value());
    EXPECT_FALSE(defaults.dictionary("missing").has_value());

    defaults.set("value", "12abc");
    EXPECT_EQ(defaults.integer("value"), 12);
    EXPECT_TRUE(defaults.boolean("value"));
    defaults.set("value", "YES");
    EXPECT_TRUE(defaults.boolean("value"));
    defaults.set("value", "no");
    EXPECT_FALSE(defaults.boolean("value"));
    EXPECT_EQ(defaults.integer("value"), 0);
    defaults.set("value", 7.9);
    EXPECT_EQ(defaults.integer("value"), 7);
    defaults.set("value", 1e300);  // far beyond any integer: must not be undefined
    EXPECT_EQ(defaults.integer("value"), 0);
    defaults.set("value", QVariantList{"a", 1});
    EXPECT_FALSE(defaults.stringArray("value").has_value());
    EXPECT_EQ(defaults.array("value")->size(), 2);
    EXPECT_FALSE(defaults.dictionary("value").has_value());
}

TEST(UserDefaults, ChangedIsEmittedOnlyForRealChanges)
{
    testsupport::TempDir dir;
    platform::UserDefaults defaults(pathOf(dir, "settings.json"));
    QStringList changes;
    QObject::connect(&defaults, &platform::UserDefaults::changed, [&](const QString& key) { changes.append(key); });

    defaults.set("a", 1);
    defaults.set("a", 1);
    defaults.set("b", "x");
    defaults.removeObject("b");
    defaults.removeObject("b");
    EXPECT_EQ(changes, (QStringList{"a", "b", "b"}));

    changes.clear();
    defaults.removeAllStoredValues();
    EXPECT_EQ(changes, QStringList{"a"});
    EXPECT_FALSE(defaults.hasStoredValue("a"));
}

TEST(UserDefaults, AFileThatDoesNotParseIsKeptAside)
{
    testsupport::TempDir dir;
    const QString file = pathOf(dir, "settings.json");
    {
        std::ofstream out((dir / "settings.json").string());
        out << "{\"language\": \"en\", broken";
    }
    {
        platform::UserDefaults defaults(file);
        EXPECT_FALSE(defaults.string("language").has_value());
        defaults.set("language", "de");
    }
    EXPECT_EQ(contentOf(file + ".defekt"), QByteArray("{\"language\": \"en\", broken"));
    platform::UserDefaults reopened(file);
    EXPECT_EQ(reopened.string("language"), QString("de"));
}

TEST(UserDefaults, StandardStoreLivesInTheConfigurationFolder)
{
    const QString expected = qEnvironmentVariable("XDG_CONFIG_HOME") + "/KORVU Darivir/settings.json";
    EXPECT_EQ(platform::UserDefaults::standardFilePath(), expected);
    EXPECT_EQ(platform::UserDefaults::standard().filePath(), expected);
}

TEST(SupportDirectory, IsCreatedUnderTheDataFolderForTheUserOnly)
{
    const std::filesystem::path expected =
        std::filesystem::path(qEnvironmentVariable("XDG_DATA_HOME").toStdString()) / "KORVU Darivir";
    std::filesystem::remove_all(expected);

    EXPECT_EQ(platform::SupportDirectory::path(), expected);
    ASSERT_TRUE(std::filesystem::is_directory(expected));
    struct stat info {};
    ASSERT_EQ(::stat(expected.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
}

}  // namespace
