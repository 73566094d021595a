// The text pass after the engine: markers, white space, the dropped phrases, the prompt
// echo, the join and the spelling.
#include "KorvuDarivir/Dictation/Transcriber.h"

#include <gtest/gtest.h>

namespace transcribertest {
namespace {

using korvu::Transcriber;

QString post(const char* text) { return Transcriber::postProcess(QString::fromUtf8(text)); }

TEST(TranscriberPostProcess, RemovesBracketedAndStarredMarkers)
{
    EXPECT_EQ(post("[Musik]"), QString());
    EXPECT_EQ(post("*Applaus*"), QString());
    EXPECT_EQ(post("  [Musik]  *Applaus* \n"), QString());
    EXPECT_EQ(post("a [x] b"), QStringLiteral("a b"));
    EXPECT_EQ(post("Hallo *lacht* Welt [Musik]!"), QStringLiteral("Hallo Welt !"));
    // No nesting: the span ends at the first closing bracket.
    EXPECT_EQ(post("a [b [c] d] e"), QStringLiteral("a d] e"));
    // An unclosed marker stays.
    EXPECT_EQ(post("a [b c"), QStringLiteral("a [b c"));
    EXPECT_EQ(post("5 * 3"), QStringLiteral("5 * 3"));
    EXPECT_EQ(post("5 * 3 * 2"), QStringLiteral("5 2"));
}

TEST(TranscriberPostProcess, FoldsWhiteSpaceAndTrims)
{
    EXPECT_EQ(post("  Hallo \t\n  Welt\r\n"), QStringLiteral("Hallo Welt"));
    EXPECT_EQ(post("eins\u00a0\u2003zwei"), QStringLiteral("eins zwei"));
    EXPECT_EQ(post(""), QString());
    EXPECT_EQ(post(" \n "), QString());
    EXPECT_EQ(post("Schöne Grüße, Jürgen."), QString::fromUtf8("Schöne Grüße, Jürgen."));
}

TEST(TranscriberPostProcess, DropsKnownSubtitleAndClosingPhrases)
{
    EXPECT_EQ(post("Untertitel der Amara.org-Community"), QString());
    EXPECT_EQ(post("Untertitel im Auftrag des ZDF, 2021"), QString());
    EXPECT_EQ(post("Vielen Dank fürs Zuschauen!"), QString());
    EXPECT_EQ(post("VIELEN DANK FÜRS ZUSCHAUEN"), QString());
    EXPECT_EQ(post("...danke fürs Zuschauen."), QString());
    EXPECT_EQ(post("  „Bis zum nächsten Mal“  "), QString());
    EXPECT_EQ(post("Bis zum nächsten Mal, und vergesst nicht, den Kanal zu abonnieren."), QString());
    EXPECT_EQ(post("Thank you for watching."), QString());
    EXPECT_EQ(post("[Musik] Thanks for watching!"), QString());
    EXPECT_EQ(post("Untertitel der amara.org-community und mehr"), QString());
    // However the accented letters are written (here decomposed: a letter and a combining mark).
    EXPECT_EQ(post("Vielen Dank fu\u0308rs Zuschauen!"), QString());
    EXPECT_EQ(post("Bis zum na\u0308chsten Mal"), QString());
}

TEST(TranscriberPostProcess, KeepsTextsThatOnlyContainAPhrase)
{
    EXPECT_EQ(post("Ich sage: vielen Dank fürs Zuschauen"), QString::fromUtf8("Ich sage: vielen Dank fürs Zuschauen"));
    EXPECT_EQ(post("Bis zum nächsten"), QString::fromUtf8("Bis zum nächsten"));
    EXPECT_EQ(post("Danke fürs Zuhören"), QString::fromUtf8("Danke fürs Zuhören"));
}

TEST(TranscriberDictationText, JoinsChunkResultsWithOneSpace)
{
    EXPECT_EQ(Transcriber::dictationText({QStringLiteral("Hallo"), QStringLiteral("Welt")}, {}),
              QStringLiteral("Hallo Welt"));
    EXPECT_EQ(Transcriber::dictationText({QStringLiteral(" Hallo "), QStringLiteral(" Welt.")}, {}),
              QStringLiteral("Hallo Welt."));
    EXPECT_EQ(Transcriber::dictationText({}, {}), QString());
    // A closing phrase in the first chunk drops the whole dictation.
    EXPECT_EQ(Transcriber::dictationText({QStringLiteral("Thanks for watching"), QStringLiteral("und mehr")}, {}),
              QString());
}

TEST(TranscriberDictationText, AnEchoOfTheVocabularyPromptIsDropped)
{
    const QStringList vocabulary{QStringLiteral("Tannholt"), QStringLiteral("KORVU")};
    EXPECT_EQ(Transcriber::promptText(vocabulary), QStringLiteral("Tannholt, KORVU."));
    EXPECT_EQ(Transcriber::promptText({}), QString());

    EXPECT_EQ(Transcriber::dictationText({QStringLiteral("Tannholt, KORVU.")}, vocabulary), QString());
    EXPECT_EQ(Transcriber::dictationText({QStringLiteral("tannholt korvu")}, vocabulary), QString());
    EXPECT_EQ(Transcriber::dictationText({QStringLiteral(" TANNHOLT - Korvu!")}, vocabulary), QString());
    EXPECT_EQ(Transcriber::dictationText({QStringLiteral("Tannholt"), QStringLiteral("KORVU")}, vocabulary), QString());
    // More than the prompt is kept, in the stored spelling.
    EXPECT_EQ(Transcriber::dictationText({QStringLiteral("tannholt und korvu")}, vocabulary),
              QStringLiteral("Tannholt und KORVU"));
    // The order counts: a different order is no echo.
    EXPECT_EQ(Transcriber::dictationText({QStringLiteral("korvu, tannholt.")}, vocabulary),
              QStringLiteral("KORVU, Tannholt."));
    // Without a vocabulary nothing is an echo.
    EXPECT_EQ(Transcriber::dictationText({QStringLiteral("Tannholt, KORVU.")}, {}),
              QStringLiteral("Tannholt, KORVU."));
}

TEST(TranscriberDictationText, NormalisesLettersAndDigitsOnly)
{
    EXPECT_EQ(Transcriber::normalizedForEcho(QStringLiteral("Hallo, Welt 42!")), QStringLiteral("hallowelt42"));
    // Composed and decomposed letters normalise alike.
    EXPECT_EQ(Transcriber::normalizedForEcho(QString::fromUtf8("Jürgen")),
              Transcriber::normalizedForEcho(QString::fromUtf8("Ju\u0308rgen")));
    EXPECT_EQ(Transcriber::normalizedForEcho(QString::fromUtf8("ÄÖÜ · ß")), QString::fromUtf8("äöüß"));
    EXPECT_EQ(Transcriber::normalizedForEcho(QStringLiteral("...")), QString());
}

}  // namespace
}  // namespace transcribertest
