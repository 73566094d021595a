// The application's store: the settings file and the typed settings on it, the vocabulary,
// the dictation history (also killed in the middle of its writes) and the app model.
#include "KorvuDarivir/Store/AppModel.h"
#include "KorvuDarivir/Store/HistoryStore.h"
#include "KorvuDarivir/Store/IcuText.h"
#include "KorvuDarivir/Store/Settings.h"
#include "KorvuDarivir/Store/Vocabulary.h"
#include "Platform/Defaults/SupportDirectory.h"
#include "Platform/Defaults/UserDefaults.h"

#include "fakes/FakePermissionSystem.h"
#include "support/TempDir.h"
#include "TestPaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unicode/regex.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <latch>
#include <limits>
#include <map>
#include <memory>
#include <numeric>
#include <random>
#include <thread>

#include "support/QtPrinters.h"

namespace {

using namespace korvu;
namespace fs = std::filesystem;

platform::UserDefaults& defaults() { return platform::UserDefaults::standard(); }

QByteArray read(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
QByteArray read(const fs::path& path) { return read(QString::fromStdString(path.string())); }

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
        defaults.set("offsets", QVariantMap{{"default", QVariantList{1.5, -2.0}}});
    }
    EXPECT_FALSE(read(file).contains("holdToTalk") || read(file).contains("language"));
    platform::UserDefaults reopened(file);  // as after a restart
    EXPECT_EQ(reopened.stringArray("one"), QStringList{"Tannholt"});
    EXPECT_EQ(reopened.integer("number"), 6144);
    EXPECT_EQ(reopened.dictionary("offsets")->value("default").toList(), (QVariantList{1.5, -2.0}));
}

TEST_F(UserDefaults, TypedReadsConvertAndChangesAreReportedOnlyWhenReal)
{
    platform::UserDefaults defaults(file);
    EXPECT_FALSE(defaults.boolean("missing") || defaults.integer("missing") || defaults.dictionary("missing"));
    // 1e300 lies far beyond any integer: it must read as 0, not as something undefined.
    using Reading = std::tuple<QVariant, qint64, bool>;
    for (const auto& [value, integer, boolean] : {Reading{"12abc", 12, true}, {"no", 0, false}, {1e300, 0, true}}) {
        defaults.set("value", value);
        EXPECT_EQ(std::pair(defaults.integer("value"), defaults.boolean("value")), std::pair(integer, boolean));
    }
    QStringList changes;
    QObject::connect(&defaults, &platform::UserDefaults::changed, [&](const QString& key) { changes.append(key); });
    defaults.set("a", 1);
    defaults.set("a", 1);
    defaults.removeObject("b");
    defaults.removeAllStoredValues();
    EXPECT_EQ(changes, (QStringList{"a", "a", "value"}));
}

TEST_F(UserDefaults, AFileThatDoesNotParseIsKeptAside)
{
    fs::create_directories(dir / "sub");
    std::ofstream(file.toStdString()) << "{\"language\": \"en\", broken";
    {
        platform::UserDefaults defaults(file);
        EXPECT_FALSE(defaults.string("language").has_value());
        defaults.set("language", "de");
    }
    EXPECT_EQ(read(file + ".defekt"), QByteArray("{\"language\": \"en\", broken"));
    platform::UserDefaults reopened(file);
    EXPECT_EQ(reopened.string("language"), QString("de"));
    EXPECT_TRUE(reopened.keptAside().isEmpty());
    std::ofstream(file.toStdString()) << "[]";  // JSON, but no settings
    EXPECT_EQ(platform::UserDefaults(file).keptAside(), QStringList{file + ".defekt.1"});
    // A link, even one to nothing, is someone's: its name is taken and it stays.
    fs::create_symlink(dir / "fehlt", file.toStdString() + ".defekt.2");
    std::ofstream(file.toStdString()) << "[]";
    EXPECT_EQ(platform::UserDefaults(file).keptAside(), QStringList{file + ".defekt.3"});
    EXPECT_TRUE(fs::is_symlink(file.toStdString() + ".defekt.2"));
}

TEST_F(UserDefaults, TheSettingsFolderIsMadeForTheUserOnly)
{
    // Missing parents as well as the folder itself, whatever the process's umask allows.
    const mode_t previous = ::umask(0);
    const QString deep = QString::fromStdString((dir / "a/b/KORVU Darivir/settings.json").string());
    platform::UserDefaults defaults(deep);
    ::umask(previous);
    defaults.set("language", "en");
    struct stat info {};
    ASSERT_EQ(::stat((dir / "a/b/KORVU Darivir").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
}

TEST(SupportDirectory, SettingsAndDataLieInTheUsersFoldersAndDataIsForTheUserOnly)
{
    EXPECT_EQ(defaults().filePath(), qEnvironmentVariable("XDG_CONFIG_HOME") + "/KORVU Darivir/settings.json");
    const auto expected = fs::path(qEnvironmentVariable("XDG_DATA_HOME").toStdString()) / "KORVU Darivir";
    fs::remove_all(expected);
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
    const std::pair<QVariantMap, bool> dictionaries[] = {
        {{{"a", QVariantList{1.0}}, {"b", QVariantList{1.0, 2.0, 3.0}}}, true},
        {{{"a", QVariantList{1.0, 2.0}}, {"b", "text"}}, false},
        {{{"a", QVariantList{true, 2.0}}}, false},
        {{{"a", QVariantList{"1", 2.0}}}, false}};
    for (const auto& [offsets, hasAny] : dictionaries) {
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
}

// The files the vocabulary's damaged values were set aside in, in the settings folder.
QStringList vocabularyAsides()
{
    return QFileInfo(defaults().filePath()).dir().entryList({"vocabulary.json.defekt*"}, QDir::Files, QDir::Name);
}

void removeVocabularyAsides()
{
    for (const QString& old : vocabularyAsides()) {
        QFile::remove(QFileInfo(defaults().filePath()).dir().filePath(old));
    }
}

TEST_F(VocabularyTest, AStoredValueIsReadItemByItemAndSetAsideBeforeAnythingIsDropped)
{
    const QVariant null = QVariant::fromValue(nullptr);
    const QString forbidden = QString::fromUtf8("Al\u001Bpha\u202E");
    // Terms "Begriff <from>" to "Begriff <from + count - 1>".
    const auto numbered = [](int count, int from = 1) {
        QStringList terms;
        for (int i = from; i < from + count; ++i) terms.append(QString("Begriff %1").arg(i));
        return terms;
    };
    QVariantList damagedAndLong{42};
    for (const QString& term : numbered(100)) damagedAndLong.append(term);
    struct Case {
        const char* what;
        QVariant stored;
        QStringList loads;
        bool setAside;
    };
    const Case cases[] = {
        {"missing", QVariant(), {}, false},
        {"valid", QStringList{"Alpha", "Beta"}, {"Alpha", "Beta"}, false},
        {"valid, empty", QStringList{}, {}, false},
        {"mixed list", QVariantList{"Alpha", "Beta", 42}, {"Alpha", "Beta"}, true},
        {"items of every other type", QVariantList{null, true, 1.5, QVariantList{"x"}, QVariantMap{{"y", "z"}}, "Gamma"},
         {"Gamma"}, true},
        {"a text instead of a list", "Alpha", {}, true},
        {"a number", 42, {}, true},
        {"a dictionary", QVariantMap{{"Alpha", "Beta"}}, {}, true},
        {"null", null, {}, true},
        {"texts with characters no term may hold, or none", QVariantList{forbidden, "", "\u2066\u2069", "Beta"},
         {"Alpha", "Beta"}, true},
        // Edited by hand or by another program: every dictation would pay for each term.
        {"eighty terms, the most a list holds", numbered(80), numbered(80), false},
        {"2,000 terms", numbered(2000), numbered(80), true},
        {"a hundred terms after an item that is no text", damagedAndLong, numbered(80), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        removeVocabularyAsides();
        defaults().set("vocabulary", c.stored);
        const QJsonValue before = QJsonValue::fromVariant(c.stored);
        const qsizetype keptBefore = defaults().keptAside().size();

        EXPECT_EQ(Vocabulary::terms(), c.loads);
        const QStringList asides = vocabularyAsides();
        ASSERT_EQ(asides.size(), c.setAside ? 1 : 0) << asides.join(", ").toStdString();
        // The store lists the copy for the start's notice.
        const QStringList kept = defaults().keptAside();
        ASSERT_EQ(kept.size() - keptBefore, c.setAside ? 1 : 0);
        if (c.setAside) {
            EXPECT_EQ(kept.last(), QFileInfo(defaults().filePath()).dir().filePath("vocabulary.json.defekt"));
        }
        if (c.setAside) {
            // The copy holds the value exactly as it was stored, under its key.
            const QJsonObject copy =
                QJsonDocument::fromJson(read(QFileInfo(defaults().filePath()).dir().filePath(asides[0]))).object();
            EXPECT_EQ(copy, (QJsonObject{{"vocabulary", before}}));
            // What was read replaces the damaged value, so the next read sets nothing aside.
            EXPECT_EQ(stored(), c.loads);
            EXPECT_EQ(Vocabulary::terms(), c.loads);
            EXPECT_EQ(vocabularyAsides().size(), 1);
        } else {
            EXPECT_EQ(defaults().object("vocabulary"), c.stored) << "a sound value is left as it is";
        }
    }

    // The user's report: a damaged list, then one more word. The word joins what was
    // readable, and a second damage gets a copy of its own.
    removeVocabularyAsides();
    defaults().set("vocabulary", QVariantList{"Alpha", "Beta", 42});
    EXPECT_EQ(Vocabulary::add("Gamma"), 1);
    EXPECT_EQ(stored(), (QStringList{"Alpha", "Beta", "Gamma"}));
    defaults().set("vocabulary", QVariantList{"Delta", false});
    Vocabulary::remove("Delta");
    EXPECT_EQ(stored(), QStringList{});
    EXPECT_EQ(vocabularyAsides(), (QStringList{"vocabulary.json.defekt", "vocabulary.json.defekt.1"}));
    const QDir folder = QFileInfo(defaults().filePath()).dir();
    EXPECT_EQ(QJsonDocument::fromJson(read(folder.filePath("vocabulary.json.defekt.1"))).object().value("vocabulary"),
              (QJsonArray{"Delta", false}));
    // The copies are the user's alone, like the settings beside them.
    EXPECT_EQ(QFile::permissions(folder.filePath("vocabulary.json.defekt.1")),
              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser | QFileDevice::WriteUser);
}

TEST_F(VocabularyTest, AddDropsControlAndDirectionCharactersBeforeTrimming)
{
    struct Case {
        QString input;
        QStringList added;
    };
    const Case cases[] = {
        {"Al\u001Bpha", {"Alpha"}},                               // ESC
        {"\u0007Beta\u0001", {"Beta"}},                          // BEL, U+0001
        {"Gam\u007Fma", {"Gamma"}},                               // DEL
        {"\u009BDelta\u0080", {"Delta"}},                        // C1
        {"\u202AEps\u202Bilon\u202C", {"Epsilon"}},             // embeddings and their end
        {"\u202DZeta\u202E", {"Zeta"}},                          // overrides
        {"\u2066E\u2067t\u2068a\u2069", {"Eta"}},              // isolates
        {"New\tYork\u000B", {"New York"}},                       // white-space controls separate words
        {" \u202E Theta \u202C ", {"Theta"}},                    // removed before trimming
        {"Iota\r\nKappa", {"Iota", "Kappa"}},
        {"\u001B\u202E\u2066, \u0085", {}},                    // empty afterwards: skipped
        {"Lambda\u200D\u00AD\u200F", {"Lambda\u200D\u00AD\u200F"}},  // joiners, soft hyphen, marks stay
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input.toStdString());
        defaults().set("vocabulary", QStringList{});
        EXPECT_EQ(Vocabulary::add(c.input), c.added.size());
        EXPECT_EQ(stored(), c.added);
    }
}

TEST(VocabularySpelling, TermsAreFoundAsWholeWordsAndWrittenInTheirSpelling)
{
    const QStringList korvu{"KORVU"};
    const QStringList spaced{"a        b"};
    const QString blanks = "a" + QString(10000, u' ') + "c";
    const QString manyA = QString("a ").repeated(3000);
    const std::tuple<QString, QStringList, QString> cases[] = {  // text, terms, result
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
    for (const auto& [text, terms, expected] : cases) {
        EXPECT_EQ(Vocabulary::applySpelling(text, terms), expected) << text.left(60).toStdString();
    }
}

// What counts as a letter or digit beside a term is what ICU's case-insensitive
// "[\\p{L}\\p{N}]" matches, for every character there is, before the term and after it.
TEST(VocabularySpelling, WordCharactersBesideATermAreThoseOfCaseInsensitiveICU)
{
    UErrorCode status = U_ZERO_ERROR;
    const std::unique_ptr<icu::RegexPattern> reference(icu::RegexPattern::compile(
        u"(?<![\\p{L}\\p{N}])x(?![\\p{L}\\p{N}])", UREGEX_CASE_INSENSITIVE, status));
    ASSERT_TRUE(U_SUCCESS(status)) << u_errorName(status);
    const Vocabulary::SpellingPass spelling({"X"});
    // In slices: a matcher's step limit covers all its searches through one text.
    for (UChar32 first = 0; first <= 0x10FFFF; first += 0x1000) {
        icu::UnicodeString text;
        for (UChar32 c = first; c < first + 0x1000; ++c) {
            if (!U_IS_SURROGATE(c)) text.append(c).append(u"x-x").append(c).append(u' ');
        }
        const std::unique_ptr<icu::RegexMatcher> matcher(reference->matcher(text, status));
        const QString expected = korvu::fromIcu(matcher->replaceAll(u"X", status));
        ASSERT_TRUE(U_SUCCESS(status)) << u_errorName(status);
        const QString actual = spelling.apply(korvu::fromIcu(text));
        // The replacement keeps the length: the first difference is an "x" beside the culprit.
        const auto at = static_cast<int32_t>(std::mismatch(actual.begin(), actual.end(), expected.begin()).first - actual.begin());
        ASSERT_TRUE(actual == expected) << std::hex << "around x: U+" << text.char32At(std::max(at - 1, 0)) << ", U+"
                                        << text.char32At(at + 1);
    }
}

// A pass compiles its expressions once for itself and all its copies, however often and on
// however many threads they are applied at once (one thread compiles, the others wait for
// it); a pass of a changed list compiles its own. Each round's pass is fresh, so its copies
// race to compile it.
TEST(VocabularySpelling, APassAndItsCopiesCompileOnceAppliedOnManyThreadsAtOnce)
{
    const QStringList common{"KORVU", "Darivir", "New York", "Bexmor", "Vocarion", "C++", "Straße", "a.b"};
    const QString text = "korvu, dari-vir in new  york: bexmor und Voca rion, c++ in der STRASSE, A.B";
    constexpr int threads = 8;
    for (int round = 0; round < 40; ++round) {
        const QStringList terms = common + QStringList{QStringLiteral("Wort%1").arg(round)};
        const QString roundText = text + QStringLiteral(" wort%1").arg(round);
        const QString expected = Vocabulary::applySpelling(roundText, terms);
        ASSERT_TRUE(expected.endsWith(terms.last())) << expected.toStdString();
        const Vocabulary::SpellingPass pass(terms);
        ASSERT_EQ(pass.compilations(), 0);
        std::vector<QString> results(threads);
        std::latch start(threads);
        {
            std::vector<std::jthread> workers;
            for (int t = 0; t < threads; ++t) {
                workers.emplace_back([&, t, copy = pass] {
                    start.arrive_and_wait();
                    results[t] = copy.apply(roundText);
                });
            }
        }
        EXPECT_EQ(pass.apply(roundText), expected);
        EXPECT_EQ(pass.compilations(), 1) << "round " << round;
        for (const QString& result : results) {
            EXPECT_EQ(result, expected) << "round " << round;
        }
    }
}

// A valid record object numbered `n`; a larger n is older.
QJsonObject recordJson(int n)
{
    return {{"id", QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper()},
            {"date", 700000000.0 - n}, {"appName", "Kate"}, {"text", QString("Text %1").arg(n)}};
}

class HistoryStoreTest : public SettingsTest {
protected:
    void TearDown() override { defaults().removeAllStoredValues(); }

    fs::path file() const { return dir / "Verlauf.json"; }
    void write(const QByteArray& data) const { std::ofstream(file(), std::ios::binary) << data.toStdString(); }
    // Temporary files of the atomic rewrite in the folder.
    int temporaryFiles() const
    {
        return static_cast<int>(std::ranges::count_if(fs::directory_iterator(dir.path()), [](const fs::directory_entry& entry) {
            return entry.path().filename().string().starts_with(".Verlauf.json.");
        }));
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
        const HistoryStore reloaded(dir.path());
        EXPECT_EQ(reloaded.records().size(), 1);
        EXPECT_EQ(reloaded.keptAside(), std::nullopt) << "a sound file is nothing to report";
        const fs::path aside = dir / ("Verlauf.json.defekt" + (i ? "." + std::to_string(i) : ""));
        EXPECT_EQ(store.keptAside(), aside) << "the start's notice names this file";
        EXPECT_EQ(read(aside), broken[i]);
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
        {at(3, 14, 23, 0), afterMidnight, german, "Gestern"},
        {at(3, 13, 23, 59), afterMidnight, german, "13.03."},
        {at(3, 16, 8, 0), now, german, "16.03."},  // a clock that went back
    };
    for (const auto& [date, when, locale, label] : cases) {
        EXPECT_EQ(HistoryStore::timeLabel(date, when, locale), label) << date.toString().toStdString();
    }
    EXPECT_EQ(HistoryStore::timeLabel(at(3, 13, 12, 0), now, american), "03/13");
    const QString american9 = HistoryStore::timeLabel(at(3, 15, 9, 7), now, american);
    EXPECT_TRUE(american9.startsWith("9:07") && american9.endsWith("AM")) << american9.toStdString();
}

constexpr double inf = std::numeric_limits<double>::infinity();

// Counts the emissions of each of the model's own signals, by name.
struct Emissions {
    explicit Emissions(AppModel& model)
    {
        const QMetaObject& meta = AppModel::staticMetaObject;
        for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
            if (meta.method(i).methodType() == QMetaMethod::Signal)
                spies[meta.method(i).name().toStdString()] = std::make_unique<QSignalSpy>(&model, meta.method(i));
        }
    }
    int operator[](const std::string& signal) const { return spies.at(signal)->count(); }
    int total() const { return std::accumulate(spies.begin(), spies.end(), 0, [](int n, auto& e) { return n + e.second->count(); }); }
    std::map<std::string, std::unique_ptr<QSignalSpy>> spies;
};

TEST(AppModelTest, ButtonStateFollowsFlashThenPhaseThenModel)
{
    AppModel model;
    EXPECT_EQ(model.buttonState(), MicButtonState::load(0));
    const std::pair<ModelState, MicButtonState> models[] = {
        {ModelState::downloading(0.42), MicButtonState::load(0.42)}, {ModelState::preparing(true), MicButtonState::proc},
        {ModelState::failed("kaputt"), MicButtonState::err}, {ModelState::ready, MicButtonState::idle}};
    for (const auto& [state, button] : models) {
        model.setModel(state);
        EXPECT_EQ(model.buttonState(), button);
    }
    model.setPhase(DictationPhase::recording);
    EXPECT_EQ(model.buttonState(), MicButtonState::rec);
    model.setFlash(MicButtonState::ok);
    EXPECT_EQ(model.buttonState(), MicButtonState::ok);
    model.setFlash(std::nullopt);
    model.setPhase(DictationPhase::processing);
    model.setModel(ModelState::failed("x"));  // not consulted while a dictation runs
    EXPECT_EQ(model.buttonState(), MicButtonState::proc);
}

TEST(AppModelTest, EqualWritesNotifyNobody)
{
    AppModel model;
    model.setModel(ModelState::downloading(0.5));
    model.setLastInsert(LastInsert{3, "Kate"});
    model.setFlash(MicButtonState::load(0.25));
    Emissions emissions(model);
    model.setPhase(DictationPhase::idle);
    model.setModel(ModelState::downloading(0.5));
    model.setFlash(MicButtonState::load(0.25));
    model.setRecordingSeconds(0);
    model.setLastInsert(LastInsert{3, "Kate"});
    model.setAccessibilityGranted(model.accessibilityGranted());
    model.setHotkey(model.hotkey());
    EXPECT_EQ(emissions.total(), 0);

    for (const ModelState& state : {ModelState::downloading(0.6), ModelState::preparing(false), ModelState::preparing(true),
                                    ModelState::failed("a"), ModelState::failed("b")})
        model.setModel(state);
    model.setLastInsert(std::nullopt);
    EXPECT_EQ(emissions["modelChanged"], 5);
    EXPECT_EQ(emissions["lastInsertChanged"], 1);
    EXPECT_EQ(emissions["buttonStateChanged"], 0) << "the flash hides the model's look";
    model.setFlash(std::nullopt);
    EXPECT_EQ(emissions["buttonStateChanged"], 1);
}

TEST(AppModelTest, TimesProgressAndLabelsAreClampedText)
{
    AppModel model;
    for (const auto& [seconds, text] : {std::pair{59, "0:59"}, {75, "1:15"}, {3600, "60:00"}}) {
        model.setRecordingSeconds(seconds);
        EXPECT_EQ(model.recordingTime(), text) << seconds;
    }
    // Truncated; out of range or not a number shown clamped, never undefined.
    for (const auto& [fraction, detail, label] : {std::tuple{0.999, "629 von 630 MB · 99 %", "Sprachmodell lädt, 99 Prozent"},
                                                  {std::nan(""), "0 von 630 MB · 0 %", "Sprachmodell lädt, 0 Prozent"},
                                                  {inf, "630 von 630 MB · 100 %", "Sprachmodell lädt, 100 Prozent"},
                                                  {-inf, "0 von 630 MB · 0 %", "Sprachmodell lädt, 0 Prozent"},
                                                  {1e300, "630 von 630 MB · 100 %", "Sprachmodell lädt, 100 Prozent"}}) {
        EXPECT_EQ(AppModel::downloadDetail(fraction), QString::fromUtf8(detail)) << fraction;
        EXPECT_EQ(MicButtonState::load(fraction).accessibilityLabel(), QString::fromUtf8(label)) << fraction;
    }
}

TEST(AppModelTest, ShortcutsAndGrantsAreReadWhenCreated)
{
    Settings::setWordHotkey({0x0E, 0x1000});
    fakes::FakePermissionSystem system;
    for (const bool granted : {false, true}) {
        system.trusted = granted;
        system.microphone = granted ? MicrophoneAuthorization::authorized : MicrophoneAuthorization::notDetermined;
        AppModel model(system);
        EXPECT_EQ(model.wordHotkey(), (Hotkey{0x0E, 0x1000}));
        EXPECT_EQ(std::pair(model.accessibilityGranted(), model.microphoneGranted()), std::pair(granted, granted));
    }
    defaults().removeAllStoredValues();
}

}  // namespace
