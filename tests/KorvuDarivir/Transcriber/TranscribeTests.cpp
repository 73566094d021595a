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

TEST(TranscriberWithoutModel, TranscribeBeforeLoadingFailsWithNotReady)
{
    Transcriber transcriber;
    const Outcome outcome = transcribeAndWait(transcriber, std::vector<float>(16000, 0.0f), QStringLiteral("de"), {});
    ASSERT_TRUE(outcome.error);
    EXPECT_TRUE(outcome.text.isEmpty());
    try {
        std::rethrow_exception(outcome.error);
    } catch (const TranscriberError& error) {
        EXPECT_EQ(error.kind(), TranscriberError::Kind::notReady);
        EXPECT_STREQ(error.what(), "Das Sprachmodell ist noch nicht geladen.");
        EXPECT_EQ(error.description(), QStringLiteral("Das Sprachmodell ist noch nicht geladen."));
    } catch (...) {
        ADD_FAILURE() << "not a TranscriberError";
    }
}

TEST(TranscriberWithoutModel, ACompletionForATranscriberThatIsGoneIsDropped)
{
    bool called = false;
    {
        Transcriber transcriber;
        transcriber.transcribe({}, std::nullopt, {}, [&](const QString&, std::exception_ptr) { called = true; });
    }
    spinFor(std::chrono::milliseconds(100));
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

TEST_F(TranscriberTranscribing, AFixedLanguageSendsTheVocabularyAsPrompt)
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
    const QString expected = expectedText(samples, options, vocabulary);

    const Outcome outcome = transcribeAndWait(transcriber, samples, QStringLiteral("de"), vocabulary);
    ASSERT_FALSE(outcome.error) << messageOf(outcome.error);
    EXPECT_EQ(outcome.text, expected);
}

TEST_F(TranscriberTranscribing, AutomaticLanguageSendsNoPromptButKeepsEchoAndSpelling)
{
    const QStringList vocabulary{QStringLiteral("Tannholt"), QStringLiteral("KORVU")};
    const auto& samples = speech("Tannholt und KORVU treffen sich morgen.");
    const QString expected = expectedText(samples, Transcriber::decodingOptions(std::nullopt), vocabulary);

    const Outcome outcome = transcribeAndWait(transcriber, samples, std::nullopt, vocabulary);
    ASSERT_FALSE(outcome.error) << messageOf(outcome.error);
    EXPECT_EQ(outcome.text, expected);
}

TEST(TranscriberOptions, TheEngineIsBuiltFromTheModelFolderWithEverythingElseUnset)
{
    const std::filesystem::path folder = Transcriber::modelDirectory();
    const vocarion::VocarionConfig config = Transcriber::engineConfiguration(folder);
    EXPECT_EQ(config.modelFolder, std::optional<std::string>(folder.string()));
    EXPECT_EQ(config.tokenizerFolder, std::optional<std::filesystem::path>(Transcriber::modelsBaseDirectory()));
    EXPECT_EQ(Transcriber::modelsBaseDirectory().filename(), "Models");
    EXPECT_FALSE(config.verbose);
    EXPECT_EQ(config.logLevel, bexmor::Logging::LogLevel::error);
    EXPECT_EQ(config.prewarm, std::optional<bool>(true));
    EXPECT_EQ(config.load, std::optional<bool>(true));
    EXPECT_FALSE(config.download);
    EXPECT_FALSE(config.useBackgroundDownloadSession);
    // Everything else stays unset: the engine decides.
    EXPECT_FALSE(config.model.has_value());
    EXPECT_FALSE(config.downloadBase.has_value());
    EXPECT_FALSE(config.modelRepo.has_value());
    EXPECT_FALSE(config.modelToken.has_value());
    EXPECT_FALSE(config.modelEndpoint.has_value());
    EXPECT_FALSE(config.computeOptions.has_value());
    EXPECT_FALSE(config.audioInputConfig.has_value());
    EXPECT_EQ(config.audioProcessor, nullptr);
    EXPECT_EQ(config.featureExtractor, nullptr);
    EXPECT_EQ(config.audioEncoder, nullptr);
    EXPECT_EQ(config.textDecoder, nullptr);
    EXPECT_FALSE(config.logitsFilters.has_value());
    EXPECT_EQ(config.segmentSeeker, nullptr);
    EXPECT_EQ(config.voiceActivityDetector, nullptr);
}

TEST(TranscriberOptions, EveryDictationUsesTheFixedOptions)
{
    for (const std::optional<QString>& language : {std::optional<QString>(QStringLiteral("de")),
                                                   std::optional<QString>()}) {
        const vocarion::DecodingOptions options = Transcriber::decodingOptions(language);
        const bool fixed = language.has_value();
        EXPECT_FALSE(options.verbose);
        EXPECT_EQ(options.task, vocarion::DecodingTask::transcribe);
        EXPECT_EQ(options.language, fixed ? std::optional<std::string>("de") : std::nullopt);
        EXPECT_EQ(options.temperature, 0.0f);
        EXPECT_FLOAT_EQ(options.temperatureIncrementOnFallback, 0.2f);
        EXPECT_EQ(options.temperatureFallbackCount, 5);
        EXPECT_EQ(options.sampleLength, 224);
        EXPECT_EQ(options.topK, 5);
        EXPECT_EQ(options.usePrefillPrompt, fixed);
        EXPECT_EQ(options.detectLanguage, !fixed);
        EXPECT_TRUE(options.skipSpecialTokens);
        EXPECT_TRUE(options.withoutTimestamps);
        EXPECT_FALSE(options.wordTimestamps);
        EXPECT_FALSE(options.maxInitialTimestamp.has_value());
        EXPECT_FALSE(options.maxWindowSeek.has_value());
        EXPECT_TRUE(options.clipTimestamps.empty());
        EXPECT_FLOAT_EQ(options.windowClipTime, 1.0f);
        EXPECT_FALSE(options.promptTokens.has_value());
        EXPECT_FALSE(options.prefixTokens.has_value());
        EXPECT_FALSE(options.suppressBlank);
        EXPECT_TRUE(options.suppressTokens.empty());
        EXPECT_EQ(options.compressionRatioThreshold, std::optional<float>(2.4f));
        EXPECT_EQ(options.logProbThreshold, std::optional<float>(-1.0f));
        EXPECT_EQ(options.firstTokenLogProbThreshold, std::optional<float>(-1.5f));
        EXPECT_EQ(options.noSpeechThreshold, std::optional<float>(0.6f));
        EXPECT_EQ(options.concurrentWorkerCount, 16);
        EXPECT_EQ(options.chunkingStrategy, std::optional<vocarion::ChunkingStrategy>(vocarion::ChunkingStrategy::vad));
    }
}

}  // namespace
}  // namespace transcribertest
