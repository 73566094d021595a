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

TEST_F(VocabularyTest, AddSplitsTrimsAndSkipsOverLongPieces)
{
    EXPECT_EQ(Vocabulary::add(" ,;\n  ,"), 0);  // nothing usable still writes the list
    EXPECT_EQ(stored(), QStringList{});
    EXPECT_EQ(Vocabulary::add("  Tannholt , KORVU;\tDarivir \n"), 3);
    EXPECT_EQ(stored(), (QStringList{"Tannholt", "KORVU", "Darivir"}));
    EXPECT_EQ(Vocabulary::terms(), stored());
    // 60 user-perceived characters at most, whether they take two UTF-16 units or a
    // combining mark each.
    EXPECT_EQ(Vocabulary::add(QString(61, u'b')), 0);
    EXPECT_EQ(Vocabulary::add(QString(60, u'a')), 1);
    const QString emoji = QString::fromUtf8("😀").repeated(60);
    const QString accented = QString::fromUtf8("e\u0301").repeated(60);
    EXPECT_EQ(Vocabulary::add(emoji), 1);
    EXPECT_EQ(Vocabulary::add(accented), 1);
    EXPECT_EQ(Vocabulary::add(accented + "x"), 0);
    EXPECT_EQ(stored().size(), 6);
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
        {"Ko rvu und korv-u", korvu, "KORVU und korv-u"},
        {"korvu! (korvu)", korvu, "KORVU! (KORVU)"},
        {"korvus und xkorvu und korvu2", korvu, "korvus und xkorvu und korvu2"},
        {"kor  vu, kor--vu, k-orvu, korv u, k-or-vu", korvu, "kor  vu, kor--vu, k-orvu, korv u, k-or-vu"},
        // Unicode letters and digits are word characters.
        {"Korvuä und äkorvu und korvu٣", korvu, "Korvuä und äkorvu und korvu٣"},
        {"«korvu» — korvu…", korvu, "«KORVU» — KORVU…"},
        // Short terms match only exactly and whole.
        {"ki und k-i und KIT", {"KI"}, "KI und k-i und KIT"},
        {"abc, a bc, ab-c, abcd", {"ABC"}, "ABC, a bc, ab-c, abcd"},
        // Spaces in a term match a run of at least as many white-space characters.
        {"new   york und new\nyork und new\u00A0york", {"New York"}, "New York und New York und New York"},
        {"newyork und new-york", {"New York"}, "newyork und new-york"},
        {"a b und a  b und a \t b", {"A  B"}, "a b und A  B und A  B"},
        // Longer terms first: a shorter one inside a longer one has the last word.
        {"tann holt und tann", {"Tann", "TANN Holt"}, "Tann Holt und Tann"},
        // Terms are written literally and their metacharacters escaped.
        {"preis $1\\ jetzt", {"$1\\"}, "preis $1\\ jetzt"},
        {"c++ und C++", {"C++"}, "C++ und C++"},
        {"a.b und axb", {"A.B"}, "A.B und axb"},
        {"(x) [y]", {"(X)", "[Y]", "a|b"}, "(X) [Y]"},
        {"text", {"\\E.*"}, "text"},
        {"e-mail und e mail und email", {"E-Mail"}, "E-Mail und e mail und email"},
        // Empty terms do not hang.
        {"ein Text", {""}, "ein Text"},
        {"", {"KORVU", ""}, ""},
        // Runs of blanks that the rest of a spaced term does not follow must not backtrack
        // catastrophically (the suite's time-out catches a hang), and a later occurrence
        // is still found.
        {blanks, spaced, blanks},
        {manyA, spaced, manyA},
        {blanks + ", A         B", spaced, blanks + ", a        b"},
        // ICU folds the full case of literal text: "ß" matches "SS".
        {"STRASSE und strasse", {"Straße"}, "Straße und Straße"},
        {"ÄRGER", {"ärger"}, "ärger"},
    };
    for (const Case& k : cases) {
        EXPECT_EQ(Vocabulary::applySpelling(k.text, k.terms), k.expected) << k.text.left(60).toStdString();
    }
}

}  // namespace
