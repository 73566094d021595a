// The text pass after the engine: markers, white space, the dropped phrases, the prompt
// echo, the join and the spelling.
#include "KorvuDarivir/Dictation/Transcriber.h"

#include <gtest/gtest.h>

namespace transcribertest {
namespace {

using korvu::Transcriber;

TEST(TranscriberText, MarkersWhiteSpaceAndWholeClosingPhrasesGo)
{
    const std::pair<const char*, const char*> cases[] = {
        // Bracketed and starred markers, not nested: a span ends at the first closing mark.
        {"  [Musik]  *Applaus* \n", ""}, {"Hallo *lacht* Welt [Musik]!", "Hallo Welt !"}, {"a [b [c] d] e", "a d] e"},
        {"a [b c", "a [b c"}, {"5 * 3", "5 * 3"}, {"5 * 3 * 2", "5 2"},
        // White space folds to one space and is trimmed.
        {"  Hallo \t\n  Welt\r\n", "Hallo Welt"}, {"eins\u00a0\u2003zwei", "eins zwei"}, {" \n ", ""},
        // Known subtitle and closing phrases drop the text, however the accents are written;
        // a text that only contains one stays.
        {"Untertitel im Auftrag des ZDF, 2021", ""}, {"VIELEN DANK FÜRS ZUSCHAUEN", ""},
        {"...danke fürs Zuschauen.", ""}, {"  „Bis zum nächsten Mal“  ", ""},
        {"Bis zum nächsten Mal, und vergesst nicht, den Kanal zu abonnieren.", ""}, {"[Musik] Thanks for watching!", ""},
        {"Untertitel der amara.org-community und mehr", ""}, {"Vielen Dank fu\u0308rs Zuschauen!", ""},
        {"Ich sage: vielen Dank fürs Zuschauen", "Ich sage: vielen Dank fürs Zuschauen"},
        {"Bis zum nächsten", "Bis zum nächsten"}, {"Danke fürs Zuhören", "Danke fürs Zuhören"},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(Transcriber::postProcess(QString::fromUtf8(text)), QString::fromUtf8(expected)) << text;
    }
}

// The chunks join; a text that only echoes the vocabulary prompt (letters and digits
// compared, composed and decomposed alike) is dropped; the vocabulary's spelling wins.
TEST(TranscriberText, ChunksJoinAndAnEchoOfTheVocabularyPromptIsDropped)
{
    const QStringList vocabulary{QStringLiteral("Tannholt"), QStringLiteral("KORVU")};
    struct Case {
        QStringList chunks;
        QStringList vocabulary;
        const char* expected;
    };
    const Case cases[] = {
        {{" Hallo ", " Welt."}, {}, "Hallo Welt."},
        {{}, {}, ""},
        {{"Thanks for watching", "und mehr"}, {}, ""},  // a closing phrase in the first chunk
        {{"Tannholt, KORVU."}, vocabulary, ""},
        {{" TANNHOLT - Korvu!"}, vocabulary, ""},
        {{"Tannholt", "KORVU"}, vocabulary, ""},
        {{"Ta\u0308nnholt, KORVU."}, {"Tännholt", "KORVU"}, ""},
        {{"tannholt und korvu"}, vocabulary, "Tannholt und KORVU"},  // more than the echo, respelt
        {{"korvu, tannholt."}, vocabulary, "KORVU, Tannholt."},      // another order is no echo
        {{"Tannholt, KORVU."}, {}, "Tannholt, KORVU."},              // without a vocabulary no echo
    };
    for (const Case& k : cases) {
        EXPECT_EQ(Transcriber::dictationText(k.chunks, k.vocabulary), QString::fromUtf8(k.expected))
            << k.chunks.join('|').toStdString();
    }
}

}  // namespace
}  // namespace transcribertest
