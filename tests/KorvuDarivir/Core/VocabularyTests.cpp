#include "QtPrinters.h"
#include "KorvuDarivir/Store/Vocabulary.h"
#include "Platform/Defaults/UserDefaults.h"

#include <gtest/gtest.h>

namespace {

using korvu::Vocabulary;

class VocabularyTest : public ::testing::Test {
protected:
    void SetUp() override { defaults().removeAllStoredValues(); }
    static platform::UserDefaults& defaults() { return platform::UserDefaults::standard(); }
    static QStringList stored() { return defaults().stringArray("vocabulary").value_or(QStringList{"<none>"}); }
};

TEST_F(VocabularyTest, AddSplitsAtCommaSemicolonAndLineFeedAndTrims)
{
    EXPECT_EQ(Vocabulary::add("  Tannholt , KORVU;\tDarivir \n"), 3);
    EXPECT_EQ(stored(), (QStringList{"Tannholt", "KORVU", "Darivir"}));
    EXPECT_EQ(Vocabulary::terms(), stored());
}

TEST_F(VocabularyTest, AddSkipsOverLongPiecesCountingUserPerceivedCharacters)
{
    const QString sixty(60, u'a');
    EXPECT_EQ(Vocabulary::add(QString(61, u'b')), 0);
    EXPECT_EQ(Vocabulary::add(sixty), 1);
    // 60 characters that take two UTF-16 units or a combining mark each still count as 60.
    QString emoji;
    QString accented;
    for (int i = 0; i < 60; ++i) {
        emoji += QString::fromUtf8("😀");
        accented += QString::fromUtf8("e\u0301");
    }
    EXPECT_EQ(Vocabulary::add(emoji), 1);
    EXPECT_EQ(Vocabulary::add(accented), 1);
    EXPECT_EQ(Vocabulary::add(accented + "x"), 0);
    EXPECT_EQ(stored().size(), 3);
}

TEST_F(VocabularyTest, AddStopsAtEightyTermsButStillStores)
{
    QStringList full;
    for (int i = 0; i < 79; ++i) {
        full.append(QString("Wort%1").arg(i));
    }
    defaults().set("vocabulary", full);
    EXPECT_EQ(Vocabulary::add("Neu1, Neu2, Neu3"), 1);
    EXPECT_EQ(stored().size(), 80);
    EXPECT_EQ(stored().last(), "Neu1");
}

TEST_F(VocabularyTest, AddIgnoresCaseButTellsAccentsApart)
{
    Vocabulary::add("Tannholt");
    EXPECT_EQ(Vocabulary::add("tannHOLT"), 0);
    EXPECT_EQ(stored(), QStringList{"Tannholt"});
    EXPECT_EQ(Vocabulary::add("Café, cafe, CAFÉ, Straße, STRASSE"), 3);
    EXPECT_EQ(stored(), (QStringList{"Tannholt", "Café", "cafe", "Straße"}));
    // The same word composed and decomposed is the same word.
    EXPECT_EQ(Vocabulary::add(QString::fromUtf8("Cafe\u0301")), 0);
    // Duplicates within one input count too.
    EXPECT_EQ(Vocabulary::add("Neu; NEU; neu"), 1);
}

TEST_F(VocabularyTest, InputWithNothingUsableStillWritesTheList)
{
    EXPECT_FALSE(defaults().hasStoredValue("vocabulary"));
    EXPECT_EQ(Vocabulary::add(" ,;\n  ,"), 0);
    EXPECT_TRUE(defaults().hasStoredValue("vocabulary"));
    EXPECT_EQ(stored(), QStringList{});
}

TEST_F(VocabularyTest, RemoveIsExactAndAStoredNonListReadsAsEmpty)
{
    Vocabulary::add("Tannholt, KORVU");
    Vocabulary::remove("korvu");
    EXPECT_EQ(stored(), (QStringList{"Tannholt", "KORVU"}));
    Vocabulary::remove("KORVU");
    EXPECT_EQ(stored(), QStringList{"Tannholt"});
    Vocabulary::add(QString::fromUtf8("Café"));
    Vocabulary::remove(QString::fromUtf8("Cafe\u0301"));
    EXPECT_EQ(stored(), QStringList{"Tannholt"});

    defaults().set("vocabulary", "Tannholt");
    EXPECT_TRUE(Vocabulary::terms().isEmpty());
    defaults().set("vocabulary", QVariantList{"a", 1});
    EXPECT_TRUE(Vocabulary::terms().isEmpty());
}

TEST(VocabularySpelling, FindsTheTermInAnyCaseAndSplitOnce)
{
    const QStringList terms{"KORVU"};
    EXPECT_EQ(Vocabulary::applySpelling("korvu, Kor Vu und kor-vu", terms), "KORVU, KORVU und KORVU");
    EXPECT_EQ(Vocabulary::applySpelling("Ko rvu und korv-u", terms), "KORVU und korv-u");
    EXPECT_EQ(Vocabulary::applySpelling("korvu! (korvu)", terms), "KORVU! (KORVU)");
    EXPECT_EQ(Vocabulary::applySpelling("korvus und xkorvu und korvu2", terms), "korvus und xkorvu und korvu2");
    // Split only once, by exactly one space or hyphen, and never right after the first or
    // before the last character.
    EXPECT_EQ(Vocabulary::applySpelling("kor  vu, kor--vu, k-orvu, korv u, k-or-vu", terms),
              "kor  vu, kor--vu, k-orvu, korv u, k-or-vu");
}

TEST(VocabularySpelling, UnicodeLettersAreWordBoundaries)
{
    const QStringList terms{"KORVU"};
    EXPECT_EQ(Vocabulary::applySpelling("Korvuä und äkorvu und korvu٣", terms), "Korvuä und äkorvu und korvu٣");
    EXPECT_EQ(Vocabulary::applySpelling("«korvu» — korvu…", terms), "«KORVU» — KORVU…");
}

TEST(VocabularySpelling, ShortTermsMatchOnlyExactlyAndWhole)
{
    EXPECT_EQ(Vocabulary::applySpelling("ki und k-i und KIT", {"KI"}), "KI und k-i und KIT");
    EXPECT_EQ(Vocabulary::applySpelling("abc, a bc, ab-c, abcd", {"ABC"}), "ABC, a bc, ab-c, abcd");
}

TEST(VocabularySpelling, SpacesInATermMatchAnyRunOfWhiteSpace)
{
    const QStringList terms{"New York"};
    EXPECT_EQ(Vocabulary::applySpelling("new   york und new\nyork und new\u00A0york", terms),
              "New York und New York und New York");
    EXPECT_EQ(Vocabulary::applySpelling("newyork und new-york", terms), "newyork und new-york");
    // A term with a run of two spaces needs at least two white-space characters.
    EXPECT_EQ(Vocabulary::applySpelling("a b und a  b und a \t b", {"A  B"}), "a b und A  B und A  B");
}

TEST(VocabularySpelling, LongerTermsComeFirst)
{
    EXPECT_EQ(Vocabulary::applySpelling("tannholt und tann", {"Tann", "Tannholt"}), "Tannholt und Tann");
}

TEST(VocabularySpelling, TermsAreWrittenLiterallyAndTheirMetacharactersEscaped)
{
    EXPECT_EQ(Vocabulary::applySpelling("preis $1\\ jetzt", {"$1\\"}), "preis $1\\ jetzt");
    EXPECT_EQ(Vocabulary::applySpelling("c++ und C++", {"C++"}), "C++ und C++");
    EXPECT_EQ(Vocabulary::applySpelling("a.b und axb", {"A.B"}), "A.B und axb");
    EXPECT_EQ(Vocabulary::applySpelling("(x) [y]", {"(X)", "[Y]", "a|b"}), "(X) [Y]");
    EXPECT_EQ(Vocabulary::applySpelling("text", {"\\E.*"}), "text");
    EXPECT_EQ(Vocabulary::applySpelling("node.js", {"Node.js"}), "Node.js");
    EXPECT_EQ(Vocabulary::applySpelling("e-mail und e mail und email", {"E-Mail"}), "E-Mail und e mail und email");
}

TEST(VocabularySpelling, EmptyAndBlankTermsDoNotHang)
{
    EXPECT_EQ(Vocabulary::applySpelling("ein Text", {""}), "ein Text");
    EXPECT_EQ(Vocabulary::applySpelling("", {"KORVU", ""}), "");
}

TEST(VocabularySpelling, RunsOfSpacesInATermDoNotBacktrackCatastrophically)
{
    // Eight adjacent "\s+" against ten thousand blanks that are not followed by the rest of
    // the term would try every way to divide the blanks among them. This must come back
    // (the suite's time-out catches a hang), and unchanged.
    const QString blanks = "a" + QString(10000, u' ') + "c";
    EXPECT_EQ(Vocabulary::applySpelling(blanks, {"a        b"}), blanks);
    const QString manyA = QString("a ").repeated(3000);
    EXPECT_EQ(Vocabulary::applySpelling(manyA, {"a        b"}), manyA);
    // And a real occurrence after such a run is still found: the term is not given up.
    EXPECT_EQ(Vocabulary::applySpelling(blanks + ", A         B", {"a        b"}), blanks + ", a        b");
}

TEST(VocabularySpelling, CaseFoldingFollowsIcu)
{
    // ICU folds the full case of literal text: "ß" matches "SS".
    EXPECT_EQ(Vocabulary::applySpelling("STRASSE und strasse", {"Straße"}), "Straße und Straße");
    EXPECT_EQ(Vocabulary::applySpelling("ÄRGER", {"ärger"}), "ärger");
}

}  // namespace
