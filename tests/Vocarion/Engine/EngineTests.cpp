#include <gtest/gtest.h>

#include <atomic>

#include "BexmorCore/External/Hub/NetworkMonitor.h"
#include "BexmorCore/External/Hub/Progress.h"
#include "EngineFixture.h"
#include "Vocarion/Core/Audio/AudioChunker.h"
#include "Vocarion/Core/AudioEncoder.h"
#include "Vocarion/Core/DarivirTokenizer.h"
#include "Vocarion/Core/FeatureExtractor.h"
#include "Vocarion/Core/TextDecoder.h"
#include "Vocarion/Utilities/DarivirError.h"
#include "support/FakeHub.h"
#include "support/TempDir.h"

using namespace vocarion;
using namespace enginetest;
namespace fs = std::filesystem;

namespace {


struct Hub : testsupport::FakeHub {
    Hub() { bexmor::NetworkMonitor::shared().setConnectivityProbe([] { return true; }); }
    fs::path download(const std::string& variant, const fs::path& base, const Vocarion::DownloadProgressCallback& progress = {}) {
        return Vocarion::download(variant, base, false, kRepo, std::nullopt, endpoint(), progress);
    }
};

// The real feature extractor, failing on chosen calls once armed (after the warm-up).
struct FailingExtractor : FeatureExtractor {
    std::function<bool(int)> failsOnCall;
    std::atomic<bool> armed{false};
    mutable std::atomic<int> calls{0};
    platform::ml::MultiArray logMelSpectrogram(std::span<const float> window) const override {
        if (armed && failsOnCall(++calls)) throw std::runtime_error("mel failure on call " + std::to_string(calls.load()));
        return FeatureExtractor::logMelSpectrogram(window);
    }
};

}  // namespace

TEST(VocarionEngine, DownloadsTheOneMatchingVariantWithTheEncoderLastResumesAndTranscribes) {
    testsupport::TempDir hubRoot, base;
    fs::copy(variant(kSpeech), hubRoot / kVariant, fs::copy_options::recursive);
    writeTinyVariant(hubRoot / ("x_" + kVariant));  // a folder that merely ends in the name
    Hub hub;
    hub.addFolder(kRepo, hubRoot.path());
    EXPECT_THROW(hub.download("tiny-test", base.path()), DarivirError);  // ambiguous: two folders end in it
    EXPECT_THROW(hub.download("darivir-huge", base.path()), DarivirError);

    // An interrupted download never leaves an encoder folder behind: the transcriber's
    // presence test fails until the download is complete.
    const auto folder = base / "models" / kRepo / kVariant;
    hub.setInterruption([](const std::string& path) { return path.find("AudioEncoder.mlmodelc/weights") != std::string::npos; });
    EXPECT_ANY_THROW(hub.download(kVariant, base.path()));
    EXPECT_TRUE(fs::exists(folder / "TextDecoder.mlmodelc"));
    EXPECT_FALSE(fs::exists(folder / "AudioEncoder.mlmodelc"));
    hub.setInterruption({});
    std::vector<double> fractions;
    EXPECT_EQ(hub.download(kVariant, base.path(), [&](const bexmor::Progress& p) { fractions.push_back(p.fractionCompleted()); }), folder);
    EXPECT_FALSE(fs::exists(base / "models" / kRepo / ("x_" + kVariant)) || fs::exists(base / "models" / kRepo / ".staging"));
    ASSERT_TRUE(!fractions.empty() && std::is_sorted(fractions.begin(), fractions.end()));
    EXPECT_DOUBLE_EQ(fractions.back(), 1.0);
    bool inEncoder = false;
    for (const auto& path : hub.fileDownloads(kRepo)) {  // every file of the encoder after every other file
        EXPECT_EQ(path.rfind(kVariant + "/", 0), 0u) << path;
        const bool encoder = path.find("/AudioEncoder.mlmodelc/") != std::string::npos;
        EXPECT_FALSE(inEncoder && !encoder) << path << " came after the encoder";
        inEncoder = inEncoder || encoder;
    }
    EXPECT_TRUE(inEncoder);
    // The moved files keep their records: another download finds every file current.
    const auto transfers = hub.fileDownloads(kRepo).size();
    hub.download(kVariant, base.path());
    EXPECT_EQ(hub.fileDownloads(kRepo).size(), transfers);

    const auto& samples = speech("Guten Morgen, wie geht es dir heute?");
    const auto results = makeEngine(folder)->transcribe(samples, appOptions("de"));
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].text, kText);
    EXPECT_FLOAT_EQ(results[0].segments.at(0).end, static_cast<float>(samples.size()) / Constants::sampleRate);
}

TEST(VocarionEngine, AFolderWithoutTokenizerGetsItFromTheHubThoughModelDownloadsAreOff) {
    testsupport::TempDir dir;
    fs::copy(variant(kSpeech), dir / kVariant, fs::copy_options::recursive);
    fs::remove(dir / kVariant / "tokenizer.json");
    Hub hub;
    hub.setFile(kRepo, kVariant + "/tokenizer.json", testsupport::readFile(variant(kSpeech) / "tokenizer.json"));
    auto engine = makeEngine(dir / kVariant, VocarionConfig{.modelEndpoint = hub.endpoint()});  // download off
    EXPECT_EQ(engine->transcribe(speech(), appOptions("de"))[0].text, kText);
}

TEST(VocarionEngine, PrewarmRunsTheLoadedEncoderOnceAndMissingModelsAreErrors) {
    struct CountingEncoder : AudioEncoder {
        platform::ml::MultiArray encodeFeatures(const platform::ml::MultiArray& features) const override {
            ++runs;
            return AudioEncoder::encodeFeatures(features);
        }
        mutable std::atomic<int> runs{0};
    };
    auto encoder = std::make_shared<CountingEncoder>();
    auto engine = makeEngine(variant(), VocarionConfig{.audioEncoder = encoder});
    EXPECT_EQ(encoder->runs.load(), 1);  // the warm-up, on the model the engine then uses
    engine->transcribe(speech(), appOptions("de", 0));
    EXPECT_EQ(encoder->runs.load(), 2);

    EXPECT_THROW(Vocarion(VocarionConfig{.verbose = false, .download = false}).transcribe(speech()), DarivirError);
    testsupport::TempDir dir;
    fs::copy(variant(), dir / kVariant, fs::copy_options::recursive);
    fs::remove_all(dir / kVariant / "TextDecoder.mlmodelc");
    const auto message = messageOf<DarivirError>([&] { makeEngine(dir / kVariant); });
    EXPECT_NE(message.find("TextDecoder.mlmodelc"), std::string::npos) << message;
}

TEST(VocarionEngine, AFailedChunkIsLeftOutAndAllFailingThrowsTheFirstError) {
    const auto audio = speechWithPauses(70.0);
    auto options = appOptions("de", 0);
    options.concurrentWorkerCount = 1;  // one chunk per batch: calls come in chunk order
    options.sampleLength = 4;
    auto failingOn = [](std::function<bool(int)> failsOnCall) {
        auto extractor = std::make_shared<FailingExtractor>();
        extractor->failsOnCall = std::move(failsOnCall);
        auto engine = makeEngine(variant(), VocarionConfig{.featureExtractor = extractor});
        extractor->armed = true;
        return engine;
    };
    auto engine = failingOn([](int call) { return call == 2; });
    const auto chunks = engine->audioChunker()->chunkAll(audio, Constants::windowSamples);
    const auto results = engine->transcribe(audio, options);
    ASSERT_EQ(results.size(), chunks.size() - 1);
    EXPECT_EQ(static_cast<size_t>(*results[0].seekTime), chunks[0].start);
    EXPECT_EQ(static_cast<size_t>(*results[1].seekTime), chunks[2].start);

    engine = failingOn([](int) { return true; });
    EXPECT_EQ(messageOf<std::runtime_error>([&] { engine->transcribe(audio, options); }), "mel failure on call 1");
    EXPECT_THROW(engine->transcribe(speech(), options), std::runtime_error);  // short audio: one window
}

TEST(VocarionEngine, UnusableLogitsAreAnErrorNotGarbageText) {
    // A decoder whose every logit is NaN after the initial tokens.
    struct NanDecoder : TextDecoder {
        int vocabulary = 0;
        std::shared_ptr<platform::ml::ModelStateHandle> makeDecoderState() const override { return nullptr; }
        std::vector<float> predictLogits(platform::ml::ModelStateHandle*, const std::vector<int>&,
                                         const platform::ml::MultiArray*) const override {
            return std::vector<float>(static_cast<size_t>(vocabulary), std::numeric_limits<float>::quiet_NaN());
        }
    };
    auto decoder = std::make_shared<NanDecoder>();
    decoder->vocabulary = makeEngine(variant())->tokenizer()->specialTokens().timeTokenBegin + 1501;
    try {
        makeEngine(variant(), VocarionConfig{.textDecoder = decoder})->transcribe(speech(), appOptions("de"));
        FAIL() << "NaN logits gave a transcription";
    } catch (const DarivirError& e) {
        EXPECT_EQ(e.kind(), DarivirError::Kind::decodingLogitsFailed);
    }
}
