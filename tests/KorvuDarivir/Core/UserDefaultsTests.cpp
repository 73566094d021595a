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

QByteArray contentOf(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

class UserDefaults : public ::testing::Test {
protected:
    testsupport::TempDir dir;
    const QString file = QString::fromStdString((dir / "sub/settings.json").string());
};

TEST_F(UserDefaults, RegisteredDefaultsAreReadButNeverWritten)
{
    {
        platform::UserDefaults defaults(file);
        defaults.registerDefaults({{"holdToTalk", true}, {"language", "de"}});
        EXPECT_TRUE(defaults.boolean("holdToTalk"));
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

TEST_F(UserDefaults, ValuesKeepTheirTypesAcrossAReopen)
{
    {
        platform::UserDefaults defaults(file);
        defaults.set("one", QStringList{"Tannholt"});
        defaults.set("number", 6144);
        defaults.set("flag", true);
        defaults.set("text", "42");
        defaults.set("offsets", QVariantMap{{"default", QVariantList{1.5, -2.0}}});
    }
    // A second store reads what the first one wrote, as after a restart.
    platform::UserDefaults reopened(file);
    EXPECT_EQ(reopened.stringArray("one"), QStringList{"Tannholt"});
    EXPECT_EQ(reopened.integer("number"), 6144);
    EXPECT_TRUE(reopened.boolean("flag"));
    EXPECT_EQ(reopened.string("text"), QString("42"));
    EXPECT_FALSE(reopened.stringArray("text").has_value());
    EXPECT_EQ(reopened.dictionary("offsets")->value("default").toList(), (QVariantList{1.5, -2.0}));
}

TEST_F(UserDefaults, TypedReadsConvertLikeTheApplicationExpects)
{
    platform::UserDefaults defaults(file);
    EXPECT_FALSE(defaults.boolean("missing") || defaults.integer("missing") || defaults.string("missing"));
    EXPECT_FALSE(defaults.dictionary("missing").has_value());
    // 1e300 lies far beyond any integer: it must read as 0, not as something undefined.
    const std::tuple<QVariant, int, bool> values[] = {
        {"12abc", 12, true}, {"YES", 0, true}, {"no", 0, false}, {7.9, 7, true}, {1e300, 0, true}};
    for (const auto& [value, integer, boolean] : values) {
        defaults.set("value", value);
        EXPECT_EQ(defaults.integer("value"), integer) << value.toString().toStdString();
        EXPECT_EQ(defaults.boolean("value"), boolean) << value.toString().toStdString();
    }
    defaults.set("value", QVariantList{"a", 1});
    EXPECT_FALSE(defaults.stringArray("value").has_value());
    EXPECT_EQ(defaults.array("value")->size(), 2);
    EXPECT_FALSE(defaults.dictionary("value").has_value());
}

TEST_F(UserDefaults, ChangedIsEmittedOnlyForRealChanges)
{
    platform::UserDefaults defaults(file);
    QStringList changes;
    QObject::connect(&defaults, &platform::UserDefaults::changed, [&](const QString& key) { changes.append(key); });
    defaults.set("a", 1);
    defaults.set("a", 1);
    defaults.set("b", "x");
    defaults.removeObject("b");
    defaults.removeObject("b");
    defaults.removeAllStoredValues();
    EXPECT_EQ(changes, (QStringList{"a", "b", "b", "a"}));
    EXPECT_FALSE(defaults.hasStoredValue("a"));
}

TEST_F(UserDefaults, AFileThatDoesNotParseIsKeptAside)
{
    std::filesystem::create_directories(dir / "sub");
    std::ofstream(file.toStdString()) << "{\"language\": \"en\", broken";
    {
        platform::UserDefaults defaults(file);
        EXPECT_FALSE(defaults.string("language").has_value());
        defaults.set("language", "de");
    }
    EXPECT_EQ(contentOf(file + ".defekt"), QByteArray("{\"language\": \"en\", broken"));
    EXPECT_EQ(platform::UserDefaults(file).string("language"), QString("de"));
}

TEST(SupportDirectory, SettingsAndDataLieInTheUsersFoldersAndDataIsForTheUserOnly)
{
    const QString settings = qEnvironmentVariable("XDG_CONFIG_HOME") + "/KORVU Darivir/settings.json";
    EXPECT_EQ(platform::UserDefaults::standard().filePath(), settings);
    const std::filesystem::path expected =
        std::filesystem::path(qEnvironmentVariable("XDG_DATA_HOME").toStdString()) / "KORVU Darivir";
    std::filesystem::remove_all(expected);
    EXPECT_EQ(platform::SupportDirectory::path(), expected);
    struct stat info {};
    ASSERT_EQ(::stat(expected.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
}

}  // namespace
