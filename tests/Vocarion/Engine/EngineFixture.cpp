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

namespace {

void runTool(const std::string& arguments, const fs::path& out) {
    const std::string command = std::string(testsupport::kBinDir) + "/darivir-model " + arguments + " --out '" + out.string() + "'";
    if (testsupport::runCommand(command) != 0) throw std::runtime_error("the model tool failed: " + command);
}

// The value made for `key` (by `make`, given a fresh path in a folder of the test program's), made once.
template <typename T, typename Make>
const T& cached(const std::string& key, Make make) {
    static testsupport::TempDir dir;
    static std::mutex mutex;
    static std::map<std::string, T> values;
    std::lock_guard lock(mutex);
    if (!values.count(key)) values.emplace(key, make(dir / std::to_string(values.size())));
    return values.at(key);
}

}  // namespace

void writeTinyVariant(const fs::path& folder, int seed) { runTool("tiny --seed " + std::to_string(seed), folder); }

const fs::path& variant(const std::string& scriptedArguments) {
    return cached<fs::path>(scriptedArguments, [&](const fs::path& path) {
        runTool(scriptedArguments.empty() ? "tiny --seed 1" : "scripted " + scriptedArguments, path / kVariant);
        return path / kVariant;
    });
}

std::unique_ptr<vocarion::Vocarion> makeEngine(const fs::path& folder, vocarion::VocarionConfig config) {
    // The tiny models' products are far too small to share among many threads; on a busy
    // machine the runtime's spinning threads would only wait for each other.
    omp_set_num_threads(1);
    config.modelFolder = folder.string();
    config.tokenizerFolder = folder.parent_path();
    config.verbose = config.download = false;
    config.logLevel = bexmor::Logging::LogLevel::error;
    config.prewarm = config.load = true;
    return std::make_unique<vocarion::Vocarion>(std::move(config));
}

const std::vector<float>& speech(const std::string& text) {
    return cached<std::vector<float>>(text, [&](const fs::path& path) {
        testsupport::speakToWav(text, path.string() + ".wav");
        return testsupport::readWav(path.string() + ".wav").samples;
    });
}

std::vector<float> speechWithPauses(double seconds, std::vector<std::pair<size_t, size_t>>* silences) {
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
        if (silences) silences->emplace_back(audio.size(), audio.size() + 2 * vocarion::Constants::sampleRate);
        audio.resize(audio.size() + 2 * vocarion::Constants::sampleRate, 0.0f);
    }
    audio.resize(total);
    return audio;
}

vocarion::DecodingOptions appOptions(std::optional<std::string> language, int fallbacks) {
    return vocarion::DecodingOptions({.language = language,
                                      .temperatureFallbackCount = fallbacks,
                                      .usePrefillPrompt = language.has_value(),
                                      .detectLanguage = !language.has_value(),
                                      .skipSpecialTokens = true,
                                      .withoutTimestamps = true,
                                      .chunkingStrategy = vocarion::ChunkingStrategy::vad});
}

}  // namespace enginetest
