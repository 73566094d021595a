#include "EngineFixture.h"

#include <omp.h>

#include <map>
#include <mutex>
#include <stdexcept>

#include "support/Speech.h"
#include "support/TempDir.h"
#include "TestPaths.h"

namespace enginetest {

namespace fs = std::filesystem;

void writeTinyVariant(const fs::path& folder, int seed) {
    const std::string command = std::string(testsupport::kBinDir) + "/darivir-model tiny --seed " + std::to_string(seed) +
                                " --out '" + folder.string() + "'";
    if (testsupport::runCommand(command) != 0) throw std::runtime_error("the model tool failed: " + command);
}

const fs::path& sharedTinyVariant() {
    static testsupport::TempDir dir;
    static const fs::path folder = [] {
        const auto path = dir / kVariant;
        writeTinyVariant(path);
        return path;
    }();
    return folder;
}

const fs::path& scriptedVariant(const std::string& arguments) {
    static testsupport::TempDir dir;
    static std::mutex mutex;
    static std::map<std::string, fs::path> folders;
    std::lock_guard lock(mutex);
    auto& folder = folders[arguments];
    if (folder.empty()) {
        const auto path = dir / ("scripted" + std::to_string(folders.size())) / kVariant;
        const std::string command = std::string(testsupport::kBinDir) + "/darivir-model scripted " + arguments +
                                    " --out '" + path.string() + "'";
        if (testsupport::runCommand(command) != 0) throw std::runtime_error("the model tool failed: " + command);
        folder = path;
    }
    return folder;
}

std::unique_ptr<vocarion::Vocarion> makeEngine(const fs::path& folder, vocarion::VocarionConfig config) {
    // The tiny models' products are far too small to share among many threads; on a busy
    // machine the runtime's spinning threads would only wait for each other.
    omp_set_num_threads(1);
    config.modelFolder = folder.string();
    config.tokenizerFolder = folder.parent_path();
    config.verbose = false;
    config.logLevel = bexmor::Logging::LogLevel::error;
    config.prewarm = true;
    config.load = true;
    config.download = false;
    config.useBackgroundDownloadSession = false;
    return std::make_unique<vocarion::Vocarion>(std::move(config));
}

const std::vector<float>& speech(const std::string& text) {
    static std::mutex mutex;
    static std::map<std::string, std::vector<float>> cache;
    static testsupport::TempDir dir;
    std::lock_guard lock(mutex);
    auto& samples = cache[text];
    if (samples.empty()) {
        const auto wav = dir / ("speech" + std::to_string(cache.size()) + ".wav");
        testsupport::speakToWav(text, wav);
        samples = testsupport::readWav(wav).samples;
    }
    return samples;
}

std::vector<float> speechWithPauses(double seconds) {
    static const std::vector<std::string> sentences = {
        "Heute scheint die Sonne über dem kleinen Hafen, und die Fischer bringen ihre Netze an Land.",
        "Am Nachmittag treffen wir uns im Garten, trinken Kaffee und reden über die Reise nach Norden.",
        "Die Bibliothek der Stadt öffnet morgen früh um neun Uhr, und der Eintritt ist frei.",
        "Zum Abendessen gibt es Suppe mit frischem Brot, danach gehen alle zeitig schlafen."};
    const size_t total = static_cast<size_t>(seconds * vocarion::Constants::sampleRate);
    std::vector<float> audio;
    for (size_t i = 0; audio.size() < total; ++i) {
        const auto& sentence = speech(sentences[i % sentences.size()]);
        audio.insert(audio.end(), sentence.begin(), sentence.end());
        audio.resize(audio.size() + 2 * vocarion::Constants::sampleRate, 0.0f);
    }
    audio.resize(total);
    return audio;
}

vocarion::DecodingOptions appOptions(std::optional<std::string> language) {
    vocarion::DecodingOptions::Arguments a;
    a.language = language;
    a.temperature = 0.0f;
    a.temperatureIncrementOnFallback = 0.2f;
    a.temperatureFallbackCount = 5;
    a.sampleLength = vocarion::Constants::maxTokenContext;
    a.topK = 5;
    a.usePrefillPrompt = language.has_value();
    a.detectLanguage = !language.has_value();
    a.skipSpecialTokens = true;
    a.withoutTimestamps = true;
    a.clipTimestamps = {};
    a.windowClipTime = 1.0f;
    a.suppressBlank = false;
    a.compressionRatioThreshold = 2.4f;
    a.logProbThreshold = -1.0f;
    a.firstTokenLogProbThreshold = -1.5f;
    a.noSpeechThreshold = 0.6f;
    a.chunkingStrategy = vocarion::ChunkingStrategy::vad;
    return vocarion::DecodingOptions(a);
}

}  // namespace enginetest
