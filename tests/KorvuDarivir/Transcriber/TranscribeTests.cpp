// Transcription through the tiny model: the options, the vocabulary prompt, and the text
// the application gets compared with what the engine itself says for the same audio.
#include "Vocarion/Core/Configurations.h"
#include "Vocarion/Core/DarivirTokenizer.h"
#include "Vocarion/Core/Vocarion.h"

#include "KorvuDarivir/Dictation/Transcriber.h"
#include "KorvuDarivir/Store/Vocabulary.h"

#include "TranscriberTestSupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>

namespace transcribertest {
namespace {

namespace fs = std::filesystem;
using korvu::ModelState;
using korvu::Transcriber;
using korvu::TranscriberError;

struct Outcome {
    bool arrived = false;
    QString text;
    std::exception_ptr error;
};

Outcome transcribeAndWait(Transcriber& transcriber, const std::vector<float>& samples,
                          const std::optional<QString>& language, const QStringList& vocabulary)
{
    auto outcome = std::make_shared<Outcome>();
    transcriber.transcribe(samples, language, vocabulary, [outcome](const QString& text, std::exception_ptr error) {
        outcome->arrived = true;
        outcome->text = text;
        outcome->error = std::move(error);
    });
    EXPECT_FALSE(outcome->arrived) << "the completion ran within the call";
    EXPECT_TRUE(spinUntil([&] { return outcome->arrived; }));
    return *outcome;
}

std::string messageOf(const std::exception_ptr& error)
{
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    }
    return {};
}

class TranscriberTranscribing : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        resetUserData();
        copyFolder(tinyVariant(), Transcriber::modelDirectory());
        engine = std::make_unique<vocarion::Vocarion>(Transcriber::engineConfiguration(Transcriber::modelDirectory()));
    }

    static void TearDownTestSuite() { engine.reset(); }

    void SetUp() override
    {
        transcriber.load();
        ASSERT_TRUE(spinUntil([this] { return !transcriber.isLoading(); }));
        ASSERT_EQ(transcriber.state(), ModelState::ready);
    }

    // What the engine says for the samples with the given options, made into dictation
    // text as the application does.
    static QString expectedText(const std::vector<float>& samples, const vocarion::DecodingOptions& options,
                                const QStringList& vocabulary)
    {
        QStringList texts;
        for (const auto& result : engine->transcribe(samples, options)) {
            texts.append(QString::fromStdString(result.text));
        }
        EXPECT_FALSE(texts.isEmpty());
        const QString text = Transcriber::dictationText(texts, vocabulary);
        // The tiny model's weights are random, but it does write something.
        EXPECT_FALSE(text.isEmpty()) << texts.join(QLatin1Char('|')).toStdString();
        return text;
    }

    static std::unique_ptr<vocarion::Vocarion> engine;
    Transcriber transcriber;
};

std::unique_ptr<vocarion::Vocarion> TranscriberTranscribing::engine;

TEST(TranscriberWithoutModel, TranscribeBeforeLoadingFailsWithNotReadyAndNothingReachesATranscriberThatIsGone)
{
    Transcriber transcriber;
    const Outcome outcome = transcribeAndWait(transcriber, std::vector<float>(16000, 0.0f), QStringLiteral("de"), {});
    EXPECT_TRUE(outcome.text.isEmpty());
    try {
        std::rethrow_exception(outcome.error);
    } catch (const TranscriberError& error) {
        EXPECT_EQ(error.kind(), TranscriberError::Kind::notReady);
        EXPECT_EQ(error.description(), QStringLiteral("Das Sprachmodell ist noch nicht geladen."));
    } catch (...) {
        ADD_FAILURE() << "not a TranscriberError";
    }

    bool called = false;
    {
        Transcriber gone;
        gone.transcribe({}, std::nullopt, {}, [&](const QString&, std::exception_ptr) { called = true; });
    }
    spinFor(100ms);
    EXPECT_FALSE(called);
}

TEST_F(TranscriberTranscribing, SpeechGivesTheModelsTextPostProcessed)
{
    const auto& samples = speech("Guten Morgen, heute diktiere ich einen kurzen Brief an meine Schwester.");
    const QString expected = expectedText(samples, Transcriber::decodingOptions(QStringLiteral("de")), {});

    const Outcome outcome = transcribeAndWait(transcriber, samples, QStringLiteral("de"), {});
    ASSERT_FALSE(outcome.error) << messageOf(outcome.error);
    EXPECT_EQ(outcome.text, expected);
    EXPECT_EQ(outcome.text, Transcriber::postProcess(outcome.text));
}

TEST_F(TranscriberTranscribing, OnlyAFixedLanguageSendsTheVocabularyAsPrompt)
{
    const QStringList vocabulary{QStringLiteral("Tannholt"), QStringLiteral("KORVU")};
    const auto& samples = speech("Tannholt und KORVU treffen sich morgen.");
    vocarion::DecodingOptions options = Transcriber::decodingOptions(QStringLiteral("de"));
    const auto tokenizer = engine->tokenizer();
    ASSERT_TRUE(tokenizer);
    std::vector<int> prompt;
    for (const int token : tokenizer->encode(" Tannholt, KORVU.")) {
        if (token < tokenizer->specialTokens().specialTokenBegin) {
            prompt.push_back(token);
        }
    }
    ASSERT_FALSE(prompt.empty());
    options.promptTokens = prompt;
    Outcome outcome = transcribeAndWait(transcriber, samples, QStringLiteral("de"), vocabulary);
    ASSERT_FALSE(outcome.error) << messageOf(outcome.error);
    EXPECT_EQ(outcome.text, expectedText(samples, options, vocabulary));

    // The automatic language sends no prompt but keeps the echo test and the spelling.
    outcome = transcribeAndWait(transcriber, samples, std::nullopt, vocabulary);
    ASSERT_FALSE(outcome.error) << messageOf(outcome.error);
    EXPECT_EQ(outcome.text, expectedText(samples, Transcriber::decodingOptions(std::nullopt), vocabulary));
}

TEST(TranscriberOptions, AFixedLanguageIsPrefilledAndAnAutomaticOneDetected)
{
    for (const std::optional<QString>& language : {std::optional<QString>(QStringLiteral("de")), std::optional<QString>()}) {
        const vocarion::DecodingOptions options = Transcriber::decodingOptions(language);
        const bool fixed = language.has_value();
        EXPECT_EQ(options.language, fixed ? std::optional<std::string>("de") : std::nullopt);
        EXPECT_EQ(options.usePrefillPrompt, fixed);
        EXPECT_EQ(options.detectLanguage, !fixed);
        EXPECT_FALSE(options.promptTokens.has_value());  // the vocabulary is added per dictation
        EXPECT_EQ(options.task, vocarion::DecodingTask::transcribe);
    }
}

}  // namespace
}  // namespace transcribertest
