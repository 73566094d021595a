// The stored preferences: the settings file, the typed settings on it and the vocabulary.
#include "QtPrinters.h"
#include "KorvuDarivir/Store/Settings.h"
#include "KorvuDarivir/Store/Vocabulary.h"
#include "Platform/Defaults/SupportDirectory.h"
#include "Platform/Defaults/UserDefaults.h"

#include "support/TempDir.h"

#include <QCoreApplication>
#include <QFile>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>

namespace {

using namespace korvu;

platform::UserDefaults& defaults() { return platform::UserDefaults::standard(); }

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

TEST_F(UserDefaults, ValuesKeepTheirTypesAcrossAReopenAndRegisteredDefaultsAreNeverWritten)
{
    {
        platform::UserDefaults defaults(file);
        defaults.registerDefaults({{"holdToTalk", true}, {"language", "de"}});
        defaults.set("language", "en");
        defaults.removeObject("language");
        EXPECT_EQ(defaults.string("language"), QString("de"));
        defaults.set("one", QStringList{"Tannholt"});
        defaults.set("number", 6144);
        defaults.set("text", "42");
        defaults.set("offsets", QVariantMap{{"default", QVariantList{1.5, -2.0}}});
    }
    EXPECT_FALSE(contentOf(file).contains("holdToTalk") || contentOf(file).contains("language"));
    platform::UserDefaults reopened(file);  // as after a restart
    EXPECT_EQ(reopened.stringArray("one"), QStringList{"Tannholt"});
    EXPECT_EQ(reopened.integer("number"), 6144);
    EXPECT_EQ(reopened.string("text"), QString("42"));
    EXPECT_FALSE(reopened.stringArray("text").has_value());
    EXPECT_EQ(reopened.dictionary("offsets")->value("default").toList(), (QVariantList{1.5, -2.0}));
}

TEST_F(UserDefaults, TypedReadsConvertAndChangesAreReportedOnlyWhenReal)
{
    platform::UserDefaults defaults(file);
    QStringList changes;
    QObject::connect(&defaults, &platform::UserDefaults::changed, [&](const QString& key) { changes.append(key); });
    EXPECT_FALSE(defaults.boolean("missing") || defaults.integer("missing") || defaults.dictionary("missing"));
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
    changes.clear();
    defaults.set("a", 1);
    defaults.set("a", 1);
    defaults.removeObject("b");
    defaults.removeAllStoredValues();
    EXPECT_EQ(changes, (QStringList{"a", "a", "value"}));
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
    EXPECT_EQ(platform::UserDefaults::standard().filePath(), qEnvironmentVariable("XDG_CONFIG_HOME") + "/KORVU Darivir/settings.json");
    const auto expected = std::filesystem::path(qEnvironmentVariable("XDG_DATA_HOME").toStdString()) / "KORVU Darivir";
    std::filesystem::remove_all(expected);
    EXPECT_EQ(platform::SupportDirectory::path(), expected);
    struct stat info {};
    ASSERT_EQ(::stat(expected.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
}

// Each test starts from an empty settings file with the registered defaults.
class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        defaults().removeAllStoredValues();
        Settings::registerDefaults();
    }
};
using VocabularyTest = SettingsTest;

QStringList stored() { return defaults().stringArray("vocabulary").value_or(QStringList{"<none>"}); }

TEST_F(SettingsTest, LanguageMicrophoneShortcutsAndVersionReadTheirStoredValues)
{
    EXPECT_EQ(Settings::language(), QString("de"));
    EXPECT_FALSE(defaults().hasStoredValue("language")) << "registration writes nothing";
    defaults().set("language", "auto");
    EXPECT_EQ(Settings::language(), std::nullopt);
    defaults().set("microphoneUID", "");  // empty means the system default
    EXPECT_FALSE(Settings::microphoneUID().has_value());

    // Two unsigned 32-bit integers; values outside that range read as zero.
    Settings::setWordHotkey({4294967295u, 0x1000});
    EXPECT_EQ(Settings::wordHotkey(), (Hotkey{4294967295u, 0x1000}));
    defaults().set("hotkeyKeyCode", qint64(-1));
    defaults().set("hotkeyModifiers", qint64(4294967296));
    EXPECT_EQ(Settings::hotkey(), (Hotkey{0, 0}));

    // The version compared with the update feed is the project's, whatever Qt was told.
    QCoreApplication::setApplicationVersion(QString());
    EXPECT_TRUE(QRegularExpression("^\\d+\\.\\d+\\.\\d+$").match(Settings::appVersion()).hasMatch());
}

TEST_F(SettingsTest, StylePerApplicationAndAValueOfAnotherTypeSpoilsOnlyTheDictionary)
{
    Settings::setStyle(CleanupStyle::neutral, StyleApp::mail);
    EXPECT_EQ(Settings::style(StyleApp::notes), CleanupStyle::note);
    EXPECT_EQ(*defaults().dictionary("appStyles"), (QVariantMap{{"mail", "neutral"}}));
    defaults().set("appStyles", QVariantMap{{"mail", "shouting"}, {"notes", "message"}});
    EXPECT_EQ(Settings::style(StyleApp::mail), CleanupStyle::email);
    EXPECT_EQ(Settings::style(StyleApp::notes), CleanupStyle::message);
    // Every app gets its default, and the next write starts from an empty dictionary.
    defaults().set("appStyles", QVariantMap{{"mail", "neutral"}, {"notes", 3}});
    EXPECT_EQ(Settings::style(StyleApp::mail), CleanupStyle::email);
    Settings::setStyle(CleanupStyle::note, StyleApp::whatsapp);
    EXPECT_EQ(*defaults().dictionary("appStyles"), (QVariantMap{{"whatsapp", "note"}}));
}

TEST_F(SettingsTest, ButtonOffsetsPerApplication)
{
    EXPECT_FALSE(Settings::hasButtonOffsets());
    Settings::setButtonOffset({12.5, -4}, std::nullopt);
    Settings::setButtonOffset({3, 7}, QString("org.gnome.TextEditor"));
    // A non-finite offset does not spoil the other saved positions.
    Settings::setButtonOffset({std::nan(""), std::numeric_limits<double>::infinity()}, QString("broken"));
    EXPECT_EQ(Settings::buttonOffset(QString("default")), (ButtonOffset{12.5, -4}));
    EXPECT_EQ(Settings::buttonOffset(QString("org.gnome.TextEditor")), (ButtonOffset{3, 7}));
    EXPECT_EQ(Settings::buttonOffset(QString("broken")), ButtonOffset{});

    // Only pairs of real numbers are offsets; a wrong length skips the entry, a value that
    // is no list, a Boolean or a number written as text spoils the whole dictionary.
    const std::pair<QVariantMap, bool> stored[] = {
        {{{"a", QVariantList{1.0}}, {"b", QVariantList{1.0, 2.0, 3.0}}}, true},
        {{{"a", QVariantList{1.0, 2.0}}, {"b", "text"}}, false},
        {{{"a", QVariantList{true, 2.0}}}, false},
        {{{"a", QVariantList{"1", 2.0}}}, false}};
    for (const auto& [offsets, hasAny] : stored) {
        defaults().set("buttonOffsets", offsets);
        EXPECT_EQ(Settings::buttonOffset(QString("a")), ButtonOffset{});
        EXPECT_EQ(Settings::hasButtonOffsets(), hasAny);
    }
    defaults().set("buttonOffsets", QVariantMap{{"a", QVariantList{1, qint64(2)}}});
    EXPECT_EQ(Settings::buttonOffset(QString("a")), (ButtonOffset{1, 2}));
}

TEST_F(VocabularyTest, AddSplitsTrimsSkipsOverLongPiecesAndStopsAtEighty)
{
    EXPECT_EQ(Vocabulary::add(" ,;\n  ,"), 0);  // nothing usable still writes the list
    EXPECT_EQ(stored(), QStringList{});
    EXPECT_EQ(Vocabulary::add("  Tannholt , KORVU;\tDarivir \n"), 3);
    EXPECT_EQ(stored(), (QStringList{"Tannholt", "KORVU", "Darivir"}));
    // 60 user-perceived characters at most, whether they take two UTF-16 units or a
    // combining mark each.
    EXPECT_EQ(Vocabulary::add(QString(61, u'b')), 0);
    const QString emoji = QString::fromUtf8("😀").repeated(60);
    const QString accented = QString::fromUtf8("e\u0301").repeated(60);
    EXPECT_EQ(Vocabulary::add(emoji), 1);
    EXPECT_EQ(Vocabulary::add(accented), 1);
    EXPECT_EQ(Vocabulary::add(accented + "x"), 0);
    EXPECT_EQ(stored().size(), 5);

    // At eighty terms adding stops, but what fitted is stored.
    QStringList full;
    for (int i = 0; i < 79; ++i) full.append(QString("Wort%1").arg(i));
    defaults().set("vocabulary", full);
    EXPECT_EQ(Vocabulary::add("Neu1, Neu2, Neu3"), 1);
    EXPECT_EQ(stored().size(), 80);
}

TEST_F(VocabularyTest, AddIgnoresCaseButTellsAccentsApartAndRemoveIsExact)
{
    Vocabulary::add("Tannholt");
    EXPECT_EQ(Vocabulary::add("tannHOLT"), 0);
    EXPECT_EQ(Vocabulary::add("Café, cafe, CAFÉ, Straße, STRASSE"), 3);
    EXPECT_EQ(stored(), (QStringList{"Tannholt", "Café", "cafe", "Straße"}));
    // The same word composed and decomposed is the same word.
    EXPECT_EQ(Vocabulary::add(QString::fromUtf8("Cafe\u0301")), 0);
    EXPECT_EQ(Vocabulary::add("Neu; NEU; neu"), 1);  // duplicates within one input count too

    Vocabulary::remove("tannholt");
    Vocabulary::remove(QString::fromUtf8("Cafe\u0301"));
    Vocabulary::remove("Straße");
    EXPECT_EQ(stored(), (QStringList{"Tannholt", "cafe", "Neu"}));
    // A stored value that is no list of texts reads as empty.
    defaults().set("vocabulary", "Tannholt");
    EXPECT_TRUE(Vocabulary::terms().isEmpty());
    defaults().set("vocabulary", QVariantList{"a", 1});
    EXPECT_TRUE(Vocabulary::terms().isEmpty());
}

TEST(VocabularySpelling, TermsAreFoundAsWholeWordsAndWrittenInTheirSpelling)
{
    const QStringList korvu{"KORVU"};
    const QStringList spaced{"a        b"};
    const QString blanks = "a" + QString(10000, u' ') + "c";
    const QString manyA = QString("a ").repeated(3000);
    struct Case {
        QString text;
        QStringList terms;
        QString expected;
    };
    const Case cases[] = {
        // Any case, and split once by one space or hyphen, never after the first or before
        // the last character.
        {"korvu, Kor Vu und kor-vu", korvu, "KORVU, KORVU und KORVU"},
        {"kor  vu, kor--vu, k-orvu, korv u, k-or-vu", korvu, "kor  vu, kor--vu, k-orvu, korv u, k-or-vu"},
        // Unicode letters and digits are word characters.
        {"Korvuä und äkorvu und korvu٣", korvu, "Korvuä und äkorvu und korvu٣"},
        // Short terms match only exactly and whole.
        {"ki und k-i und KIT", {"KI"}, "KI und k-i und KIT"},
        // Spaces in a term match a run of at least as many white-space characters.
        {"new   york und new\nyork und new\u00A0york", {"New York"}, "New York und New York und New York"},
        {"a b und a  b und a \t b", {"A  B"}, "a b und A  B und A  B"},
        // Longer terms first: a shorter one inside a longer one has the last word.
        {"tann holt und tann", {"Tann", "TANN Holt"}, "Tann Holt und Tann"},
        // Terms are written literally and their metacharacters escaped.
        {"preis $1\\ jetzt", {"$1\\"}, "preis $1\\ jetzt"},
        {"a.b und axb", {"A.B"}, "A.B und axb"},
        {"text", {"\\E.*"}, "text"},
        // Empty terms do not hang.
        {"ein Text", {""}, "ein Text"},
        // Runs of blanks that the rest of a spaced term does not follow must not backtrack
        // catastrophically (the suite's time-out catches a hang), and a later occurrence
        // is still found.
        {blanks, spaced, blanks},
        {manyA, spaced, manyA},
        {blanks + ", A         B", spaced, blanks + ", a        b"},
        // ICU folds the full case of literal text: "ß" matches "SS".
        {"STRASSE und strasse", {"Straße"}, "Straße und Straße"},
    };
    for (const Case& k : cases) {
        EXPECT_EQ(Vocabulary::applySpelling(k.text, k.terms), k.expected) << k.text.left(60).toStdString();
    }
}

}  // namespace
