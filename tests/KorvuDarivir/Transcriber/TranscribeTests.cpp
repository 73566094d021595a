// Transcription through the tiny model: the options, the vocabulary prompt, and the text
// the application gets compared with what the engine itself says for the same audio.
#include "TranscriberTestSupport.h"
#include "Vocarion/Core/Configurations.h"
#include "Vocarion/Core/DarivirTokenizer.h"
#include "Vocarion/Core/Vocarion.h"

#include <QRegularExpression>

#include <gtest/gtest.h>

#include <memory>
#include <optional>

namespace transcribertest {
namespace {

using korvu::TranscriberError;

struct Outcome {
    bool arrived = false;
    QString text;
    std::exception_ptr error;
};

Outcome transcribeAndWait(Transcriber& transcriber, const std::vector<float>& samples,
                          const std::optional<QString>& language, const QStringList& vocabulary = {})
{
    auto outcome = std::make_shared<Outcome>();
    transcriber.transcribe(samples, language, vocabulary, [outcome](const QString& text, std::exception_ptr error) {
        *outcome = {true, text, std::move(error)};
    });
    EXPECT_FALSE(outcome->arrived) << "the completion ran within the call";
    EXPECT_TRUE(spinUntil([&] { return outcome->arrived; }));
    return *outcome;
}

// Before its model is loaded a transcriber answers "not ready"; then its text is the
// engine's own for the same audio and options, made into dictation text; only a fixed
// language sends the vocabulary as prompt, but the automatic one keeps the echo test and
// the spelling. A transcriber that is gone calls nobody.
TEST(TranscriberTranscribing, SpeechGivesTheEnginesTextAndAFixedLanguageSendsTheVocabulary)
{
    resetUserData();
    installTinyVariant();
    vocarion::Vocarion engine(Transcriber::engineConfiguration(Transcriber::modelDirectory()));
    Transcriber transcriber;
    const Outcome early = transcribeAndWait(transcriber, std::vector<float>(16000, 0.0f), QStringLiteral("de"));
    EXPECT_TRUE(early.text.isEmpty());
    ASSERT_TRUE(early.error);
    try {
        std::rethrow_exception(early.error);
    } catch (const TranscriberError& error) {
        EXPECT_EQ(error.kind(), TranscriberError::Kind::notReady);
    }
    bool called = false;
    {
        Transcriber gone;
        gone.transcribe({}, std::nullopt, {}, [&](const QString&, std::exception_ptr) { called = true; });
    }
    transcriber.load();
    ASSERT_TRUE(spinUntil([&] { return !transcriber.isLoading(); }));
    ASSERT_EQ(transcriber.state(), ModelState::ready);
    const auto expected = [&](const std::vector<float>& samples, const vocarion::DecodingOptions& options,
                              const QStringList& vocabulary) {
        QStringList texts;
        for (const auto& result : engine.transcribe(samples, options)) texts.append(QString::fromStdString(result.text));
        const QString text = Transcriber::dictationText(texts, vocabulary);
        EXPECT_FALSE(text.isEmpty()) << "the tiny model's weights are random, but it does write something";
        return text;
    };

    const auto& letter = speech("Guten Morgen, heute diktiere ich einen kurzen Brief an meine Schwester.");
    Outcome outcome = transcribeAndWait(transcriber, letter, QStringLiteral("de"));
    ASSERT_FALSE(outcome.error);
    EXPECT_EQ(outcome.text, expected(letter, Transcriber::decodingOptions(QStringLiteral("de")), {}));

    const QStringList vocabulary{QStringLiteral("Tannholt"), QStringLiteral("KORVU")};
    const auto& names = speech("Tannholt und KORVU treffen sich morgen.");
    vocarion::DecodingOptions prompted = Transcriber::decodingOptions(QStringLiteral("de"));
    const auto tokenizer = engine.tokenizer();
    ASSERT_TRUE(tokenizer);
    prompted.promptTokens.emplace();
    for (const int token : tokenizer->encode(" Tannholt, KORVU.")) {
        if (token < tokenizer->specialTokens().specialTokenBegin) prompted.promptTokens->push_back(token);
    }
    ASSERT_FALSE(prompted.promptTokens->empty());
    outcome = transcribeAndWait(transcriber, names, QStringLiteral("de"), vocabulary);
    ASSERT_FALSE(outcome.error);
    EXPECT_EQ(outcome.text, expected(names, prompted, vocabulary));
    outcome = transcribeAndWait(transcriber, names, std::nullopt, vocabulary);
    ASSERT_FALSE(outcome.error);
    EXPECT_EQ(outcome.text, expected(names, Transcriber::decodingOptions(std::nullopt), vocabulary));
    EXPECT_FALSE(called);
}

// The transcriber keeps its vocabulary's spelling pass from one dictation to the next;
// the first dictation after the list changed follows the new list: a term taken out is no
// longer written in its spelling, a term put in is. The language is automatic, so no
// prompt changes what the engine writes.
TEST(TranscriberTranscribing, TheDictationAfterAChangeFollowsTheChangedVocabulary)
{
    resetUserData();
    installTinyVariant();
    Transcriber transcriber;
    transcriber.load();
    ASSERT_TRUE(spinUntil([&] { return !transcriber.isLoading(); }));
    ASSERT_EQ(transcriber.state(), ModelState::ready);
    const auto& letter = speech("Guten Morgen, heute diktiere ich einen kurzen Brief an meine Schwester.");
    const QString plain = transcribeAndWait(transcriber, letter, std::nullopt).text;
    // Terms: two words of the engine's text in capitals, which the text does not hold.
    QStringList terms;
    for (const QString& word : plain.split(QRegularExpression("[^\\p{L}\\p{N}]+"), Qt::SkipEmptyParts)) {
        const QString term = word.toUpper();
        const bool apart = std::ranges::none_of(terms, [&](const QString& t) { return t.contains(term) || term.contains(t); });
        if (term.size() >= 2 && !plain.contains(term) && apart) terms.append(term);
    }
    ASSERT_GE(terms.size(), 2) << plain.toStdString();
    for (const QStringList& vocabulary : {QStringList{terms[0]}, QStringList{terms[0]}, QStringList{terms[1]}}) {
        const QString text = transcribeAndWait(transcriber, letter, std::nullopt, vocabulary).text;
        EXPECT_EQ(text.contains(terms[0]), vocabulary == QStringList{terms[0]}) << text.toStdString();
        EXPECT_EQ(text.contains(terms[1]), vocabulary == QStringList{terms[1]}) << text.toStdString();
    }
}

}  // namespace
}  // namespace transcribertest
