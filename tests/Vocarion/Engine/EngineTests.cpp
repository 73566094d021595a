#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "BexmorCore/External/Hub/NetworkMonitor.h"
#include "BexmorCore/External/Hub/Progress.h"
#include "EngineFixture.h"
#include "Vocarion/Core/Audio/AudioChunker.h"
#include "Vocarion/Core/DarivirTokenizer.h"
#include "Vocarion/Core/AudioEncoder.h"
#include "Vocarion/Core/FeatureExtractor.h"
#include "Vocarion/Core/TextDecoder.h"
#include "Vocarion/Utilities/DarivirError.h"
#include "support/FakeHub.h"
#include "support/TempDir.h"

using namespace vocarion;
using namespace enginetest;
namespace fs = std::filesystem;

namespace {

// The real decoder, with every input it feeds the model recorded.
class RecordingDecoder : public TextDecoder {
public:
    std::vector<std::vector<int>> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        calls_.clear();
    }

protected:
    std::vector<float> predictLogits(platform::ml::ModelStateHandle* state, const std::vector<int>& inputIds,
                                     const platform::ml::MultiArray* encoderOutput) const override {
        {
            std::lock_guard lock(mutex_);
            calls_.push_back(inputIds);
        }
        return TextDecoder::predictLogits(state, inputIds, encoderOutput);
    }

private:
    mutable std::mutex mutex_;
    mutable std::vector<std::vector<int>> calls_;
};

// The real feature extractor, failing on chosen calls.
class FailingExtractor : public FeatureExtractor {
public:
    explicit FailingExtractor(std::function<bool(int)> failsOnCall) : failsOnCall_(std::move(failsOnCall)) {}

    // Calls before this (the engine's warm-up) neither count nor fail.
    void arm() { armed_ = true; }

    platform::ml::MultiArray logMelSpectrogram(std::span<const float> window) const override {
        if (!armed_) return FeatureExtractor::logMelSpectrogram(window);
        const int call = ++calls_;
        if (failsOnCall_(call)) throw std::runtime_error("mel failure on call " + std::to_string(call));
        return FeatureExtractor::logMelSpectrogram(window);
    }

private:
    std::function<bool(int)> failsOnCall_;
    mutable std::atomic<int> calls_{0};
    std::atomic<bool> armed_{false};
};

int vocabularySize(const DarivirTokenizer& tokenizer) {
    return tokenizer.specialTokens().timeTokenBegin + 1501;  // "<|0.00|>" to "<|30.00|>"
}

DecodingOptions withoutFallback(DecodingOptions options) {
    options.temperatureFallbackCount = 0;
    return options;
}

}  // namespace

TEST(VocarionEngine, DownloadsTheVariantFolderWithTheEncoderLastThenLoadsAndTranscribes) {
    testsupport::TempDir hubRoot, base;
    const std::string text = " Guten Morgen, liebe Freunde.";
    fs::copy(scriptedVariant("--text '" + text + "' --language de"), hubRoot / kVariant, fs::copy_options::recursive);
    writeTinyVariant(hubRoot / "openai_darivir-other");
    testsupport::FakeHub hub;
    hub.addFolder(kRepo, hubRoot.path());
    bexmor::NetworkMonitor::shared().setConnectivityProbe([] { return true; });

    std::vector<double> fractions;
    const auto folder = Vocarion::download(kVariant, base.path(), false, kRepo, std::nullopt, hub.endpoint(),
                                           [&](const bexmor::Progress& p) { fractions.push_back(p.fractionCompleted()); });
    EXPECT_EQ(folder, base / "models" / kRepo / kVariant);
    for (const char* name : {"MelSpectrogram.mlmodelc", "TextDecoder.mlmodelc", "AudioEncoder.mlmodelc", "tokenizer.json"})
        EXPECT_TRUE(fs::exists(folder / name)) << name;
    EXPECT_FALSE(fs::exists(base / "models" / kRepo / "openai_darivir-other"));

    // Every file of the encoder came after every other file.
    const auto downloads = hub.fileDownloads(kRepo);
    ASSERT_FALSE(downloads.empty());
    bool inEncoder = false;
    for (const auto& path : downloads) {
        EXPECT_EQ(path.rfind(kVariant + "/", 0), 0u) << path;
        const bool encoder = path.find("/AudioEncoder.mlmodelc/") != std::string::npos;
        EXPECT_FALSE(inEncoder && !encoder) << path << " came after the encoder";
        inEncoder = inEncoder || encoder;
    }
    EXPECT_TRUE(inEncoder);
    ASSERT_FALSE(fractions.empty());
    EXPECT_TRUE(std::is_sorted(fractions.begin(), fractions.end()));
    EXPECT_DOUBLE_EQ(fractions.back(), 1.0);

    // A second download finds every file current and transfers nothing.
    EXPECT_EQ(Vocarion::download(kVariant, base.path(), false, kRepo, std::nullopt, hub.endpoint()), folder);
    EXPECT_EQ(hub.fileDownloads(kRepo).size(), downloads.size());

    auto engine = makeEngine(folder);
    ASSERT_TRUE(engine->tokenizer());
    const auto& samples = speech("Guten Morgen, wie geht es dir heute?");
    const auto results = engine->transcribe(samples, appOptions("de"));
    ASSERT_EQ(results.size(), 1u);
    ASSERT_EQ(results[0].segments.size(), 1u);
    EXPECT_EQ(results[0].language, "de");
    EXPECT_EQ(results[0].text, text);
    EXPECT_FLOAT_EQ(results[0].segments[0].end, static_cast<float>(samples.size()) / Constants::sampleRate);
}

TEST(VocarionEngine, AnInterruptedDownloadNeverLeavesAnEncoderFolderBehind) {
    testsupport::TempDir hubRoot, base;
    writeTinyVariant(hubRoot / kVariant);
    testsupport::FakeHub hub;
    hub.addFolder(kRepo, hubRoot.path());
    bexmor::NetworkMonitor::shared().setConnectivityProbe([] { return true; });
    const auto folder = base / "models" / kRepo / kVariant;

    hub.setInterruption([](const std::string& path) { return path.find("AudioEncoder.mlmodelc/weights") != std::string::npos; });
    EXPECT_ANY_THROW(Vocarion::download(kVariant, base.path(), false, kRepo, std::nullopt, hub.endpoint()));
    EXPECT_TRUE(fs::exists(folder / "TextDecoder.mlmodelc"));
    EXPECT_FALSE(fs::exists(folder / "AudioEncoder.mlmodelc"));  // the transcriber's presence test fails

    hub.setInterruption({});
    EXPECT_EQ(Vocarion::download(kVariant, base.path(), false, kRepo, std::nullopt, hub.endpoint()), folder);
    EXPECT_TRUE(fs::exists(folder / "AudioEncoder.mlmodelc" / "weights.safetensors"));
    EXPECT_FALSE(fs::exists(base / "models" / kRepo / ".staging"));
    auto engine = makeEngine(folder);
    EXPECT_EQ(engine->transcribe(speech("Hallo Welt."), withoutFallback(appOptions("de"))).size(), 1u);

    // The moved files keep their records: a third download transfers nothing.
    const auto transfers = hub.fileDownloads(kRepo).size();
    Vocarion::download(kVariant, base.path(), false, kRepo, std::nullopt, hub.endpoint());
    EXPECT_EQ(hub.fileDownloads(kRepo).size(), transfers);
}

TEST(VocarionEngine, AFolderWithoutTokenizerGetsItFromTheHubThoughModelDownloadsAreOff) {
    const std::string text = " Guten Morgen, liebe Freunde.";
    const auto& source = scriptedVariant("--text '" + text + "' --language de");
    testsupport::TempDir dir;
    const auto folder = dir / kVariant;
    fs::copy(source, folder, fs::copy_options::recursive);
    fs::remove(folder / "tokenizer.json");
    testsupport::FakeHub hub;
    hub.setFile(kRepo, kVariant + "/tokenizer.json", testsupport::readFile(source / "tokenizer.json"));
    bexmor::NetworkMonitor::shared().setConnectivityProbe([] { return true; });
    auto engine = makeEngine(folder, VocarionConfig{.modelEndpoint = hub.endpoint()});  // download off
    EXPECT_EQ(engine->transcribe(speech("Hallo Welt."), appOptions("de"))[0].text, text);
}

TEST(VocarionEngine, PrewarmRunsTheLoadedEncoderOnce) {
    class CountingEncoder : public AudioEncoder {
    public:
        platform::ml::MultiArray encodeFeatures(const platform::ml::MultiArray& features) const override {
            ++runs;
            return AudioEncoder::encodeFeatures(features);
        }
        mutable std::atomic<int> runs{0};
    };
    auto encoder = std::make_shared<CountingEncoder>();
    auto engine = makeEngine(sharedTinyVariant(), VocarionConfig{.audioEncoder = encoder});
    EXPECT_EQ(encoder->runs.load(), 1);  // the warm-up, on the model the engine then uses
    engine->transcribe(speech("Hallo Welt."), withoutFallback(appOptions("de")));
    EXPECT_EQ(encoder->runs.load(), 2);
}

TEST(VocarionEngine, AmbiguousOrMissingVariantIsAnError) {
    testsupport::TempDir hubRoot, base;
    writeTinyVariant(hubRoot / "a_darivir-tiny");
    writeTinyVariant(hubRoot / "b_darivir-tiny");
    testsupport::FakeHub hub;
    hub.addFolder(kRepo, hubRoot.path());
    bexmor::NetworkMonitor::shared().setConnectivityProbe([] { return true; });
    EXPECT_THROW(Vocarion::download("darivir-tiny", base.path(), false, kRepo, std::nullopt, hub.endpoint()), DarivirError);
    EXPECT_THROW(Vocarion::download("darivir-huge", base.path(), false, kRepo, std::nullopt, hub.endpoint()), DarivirError);
    // An exact folder name wins over the folders that merely end in it.
    EXPECT_EQ(Vocarion::download("a_darivir-tiny", base.path(), false, kRepo, std::nullopt, hub.endpoint()),
              base / "models" / kRepo / "a_darivir-tiny");
    EXPECT_TRUE(hub.fileDownloads(kRepo).size() > 0);
}

TEST(VocarionEngine, AMissingModelFileFailsNamingIt) {
    testsupport::TempDir dir;
    const auto folder = dir / kVariant;
    fs::copy(sharedTinyVariant(), folder, fs::copy_options::recursive);
    fs::remove_all(folder / "TextDecoder.mlmodelc");
    try {
        makeEngine(folder);
        FAIL() << "the engine loaded without its decoder";
    } catch (const DarivirError& e) {
        EXPECT_NE(std::string(e.what()).find("TextDecoder.mlmodelc"), std::string::npos) << e.what();
    }
}

TEST(VocarionEngine, TheSameSamplesGiveTheSameText) {
    auto first = makeEngine(sharedTinyVariant());
    auto second = makeEngine(sharedTinyVariant());
    const auto& samples = speech("Das ist ein kurzer Satz zum Testen.");
    const auto greedy = withoutFallback(appOptions("de"));
    const auto a = first->transcribe(samples, greedy);
    const auto b = first->transcribe(samples, greedy);
    const auto c = second->transcribe(samples, greedy);
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a[0].text, b[0].text);
    EXPECT_EQ(a[0].text, c[0].text);
    EXPECT_EQ(a[0].segments[0].tokens, c[0].segments[0].tokens);
    EXPECT_EQ(a[0].segments[0].temperature, 0.0f);
    // With fallback (sampling above temperature 0) a run is reproducible too.
    auto sampled = appOptions("de");
    sampled.sampleLength = 48;
    EXPECT_EQ(first->transcribe(samples, sampled)[0].text, second->transcribe(samples, sampled)[0].text);
}

TEST(VocarionEngine, InitialTokensGoInOnePassWithPrefillAndOneByOneWithout) {
    auto decoder = std::make_shared<RecordingDecoder>();
    auto engine = makeEngine(sharedTinyVariant(), VocarionConfig{.textDecoder = decoder});
    const auto& special = engine->tokenizer()->specialTokens();
    const int de = *engine->tokenizer()->languageToken("de");
    using Calls = std::vector<std::vector<int>>;
    for (const bool prefill : {true, false}) {
        auto options = withoutFallback(appOptions("de"));
        options.usePrefillPrompt = prefill;
        options.sampleLength = 3;
        decoder->clear();
        engine->transcribe(speech("Hallo Welt."), options);
        const auto calls = decoder->calls();
        const Calls expected = prefill ? Calls{{special.startOfTranscriptToken}, {de, special.transcribeToken, special.noTimestampsToken}}
                                       : Calls{{special.startOfTranscriptToken}, {de}, {special.transcribeToken}, {special.noTimestampsToken}};
        ASSERT_GE(calls.size(), expected.size());
        EXPECT_EQ(Calls(calls.begin(), calls.begin() + static_cast<std::ptrdiff_t>(expected.size())), expected);
        EXPECT_LE(calls.size(), expected.size() + 2u);  // at most sampleLength tokens, the last one never fed
    }
}

TEST(VocarionEngine, AFailedChunkIsLeftOutAndAllFailingThrowsTheFirstError) {
    const auto audio = speechWithPauses(70.0);
    auto options = withoutFallback(appOptions("de"));
    options.concurrentWorkerCount = 1;  // one chunk per batch: calls come in chunk order
    options.sampleLength = 4;

    auto failing = std::make_shared<FailingExtractor>([](int call) { return call == 2; });
    auto engine = makeEngine(sharedTinyVariant(), VocarionConfig{.featureExtractor = failing});
    failing->arm();
    const auto chunks = engine->audioChunker()->chunkAll(audio, Constants::windowSamples);
    const auto results = engine->transcribe(audio, options);
    ASSERT_EQ(results.size(), chunks.size() - 1);
    EXPECT_EQ(static_cast<size_t>(*results[0].seekTime), chunks[0].start);
    EXPECT_EQ(static_cast<size_t>(*results[1].seekTime), chunks[2].start);

    auto broken = std::make_shared<FailingExtractor>([](int) { return true; });
    engine = makeEngine(sharedTinyVariant(), VocarionConfig{.featureExtractor = broken});
    broken->arm();
    try {
        engine->transcribe(audio, options);
        FAIL() << "every chunk failed, yet the transcription succeeded";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "mel failure on call 1");
    }
    // Short audio is one window: its error is the transcription's.
    EXPECT_THROW(engine->transcribe(speech("Hallo Welt."), options), std::runtime_error);
}

TEST(VocarionEngine, TranscribingWithoutLoadedModelsIsAnError) {
    Vocarion engine(VocarionConfig{.verbose = false, .download = false});
    EXPECT_FALSE(engine.tokenizer());
    EXPECT_THROW(engine.transcribe(speech("Hallo Welt.")), DarivirError);
}

TEST(VocarionEngine, UnusableLogitsAreAnErrorNotGarbageText) {
    auto probe = makeEngine(sharedTinyVariant());
    // A decoder whose every logit is NaN after the initial tokens.
    class NanDecoder : public TextDecoder {
    public:
        explicit NanDecoder(int vocabulary) : vocabulary_(vocabulary) {}

    protected:
        std::shared_ptr<platform::ml::ModelStateHandle> makeDecoderState() const override { return nullptr; }
        std::vector<float> predictLogits(platform::ml::ModelStateHandle*, const std::vector<int>&,
                                         const platform::ml::MultiArray*) const override {
            return std::vector<float>(static_cast<size_t>(vocabulary_), std::numeric_limits<float>::quiet_NaN());
        }

    private:
        int vocabulary_;
    };
    auto engine = makeEngine(sharedTinyVariant(),
                             VocarionConfig{.textDecoder = std::make_shared<NanDecoder>(vocabularySize(*probe->tokenizer()))});
    try {
        engine->transcribe(speech("Hallo Welt."), appOptions("de"));
        FAIL() << "NaN logits gave a transcription";
    } catch (const DarivirError& e) {
        EXPECT_EQ(e.kind(), DarivirError::Kind::decodingLogitsFailed);
    }
}

TEST(VocarionEngine, CallbacksSeeEachWindowAndCanStopTheTranscription) {
    auto engine = makeEngine(sharedTinyVariant());
    const auto audio = speechWithPauses(65.0);  // three windows without chunking
    auto options = withoutFallback(appOptions("de"));
    options.chunkingStrategy = ChunkingStrategy::none;
    options.sampleLength = 8;
    std::vector<int> windows;
    size_t segmentsSeen = 0;
    const auto all = engine->transcribe(
        audio, options, [&](const TranscriptionProgress& p) { windows.push_back(p.windowId); return std::optional<bool>(); },
        [&](const std::vector<TranscriptionSegment>& segments) { segmentsSeen += segments.size(); });
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(windows, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(segmentsSeen, all[0].segments.size());
    ASSERT_EQ(all[0].segments.size(), 3u);
    EXPECT_FLOAT_EQ(all[0].segments[2].start, 60.0f);
    EXPECT_FLOAT_EQ(all[0].segments[2].end, 65.0f);

    const auto stopped = engine->transcribe(audio, options, [](const TranscriptionProgress&) { return std::optional<bool>(false); });
    EXPECT_EQ(stopped[0].segments.size(), 1u);
}

TEST(VocarionEngine, DecodingWithTimestampsEndsWithSegmentsInsideTheAudio) {
    auto engine = makeEngine(sharedTinyVariant());
    const auto& samples = speech("Guten Morgen, wie geht es dir heute?");
    auto options = withoutFallback(appOptions("de"));
    options.withoutTimestamps = false;
    options.sampleLength = 32;
    const auto results = engine->transcribe(samples, options);
    ASSERT_EQ(results.size(), 1u);
    ASSERT_FALSE(results[0].segments.empty());
    const float duration = static_cast<float>(samples.size()) / Constants::sampleRate;
    float previous = 0.0f;
    for (const auto& segment : results[0].segments) {
        EXPECT_GE(segment.start, previous - 1e-4f);
        EXPECT_LE(segment.start, segment.end);
        EXPECT_LE(segment.end, duration + 1e-4f);
        previous = segment.start;
    }
}

TEST(VocarionEngine, AnUnknownLanguageIsAClearErrorAndAnEnglishNameIsAccepted) {
    auto engine = makeEngine(sharedTinyVariant());
    auto options = withoutFallback(appOptions("xx"));
    options.sampleLength = 2;
    try {
        engine->transcribe(speech("Hallo Welt."), options);
        FAIL() << "an unknown language was accepted";
    } catch (const DarivirError& e) {
        EXPECT_NE(std::string(e.what()).find("\"xx\""), std::string::npos) << e.what();
    }
    options.language = "german";
    EXPECT_EQ(engine->transcribe(speech("Hallo Welt."), options)[0].language, "de");
}
