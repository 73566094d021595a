// Real-time factor of Vocarion::transcribe on random-weight models of two shapes, and the
// time from the call to the result for a 5 s utterance (the dictation latency).
//
//   build/bin/bench_engine_rtf [--shapes 384,1280] [--runs 3]
//
// The models come from the model tool (same folder as this program); the audio is
// German speech made with espeak-ng, sentences joined with 2 s pauses. Random weights
// never say "end of text" on purpose, so each window decodes up to the sample length:
// the decoding figures are a worst case. Two option sets are measured: the application's
// (temperature fallback on, up to 6 tries per window) and a single greedy try.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "Vocarion/Core/Vocarion.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

struct Shape {
    int width, heads, encoderLayers, decoderLayers, mels;
};

fs::path programFolder() {
    std::error_code error;
    return fs::read_symlink("/proc/self/exe", error).parent_path();
}

int run(const std::string& command) {
    const int status = std::system(command.c_str());
    return status == -1 ? -1 : WEXITSTATUS(status);
}

std::vector<float> readRaw(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<float> samples;
    float value;
    while (in.read(reinterpret_cast<char*>(&value), sizeof value)) samples.push_back(value);
    return samples;
}

std::vector<float> speech(const fs::path& dir, double seconds) {
    static const char* sentences[] = {
        "Heute scheint die Sonne über dem kleinen Hafen, und die Fischer bringen ihre Netze an Land.",
        "Am Nachmittag treffen wir uns im Garten, trinken Kaffee und reden über die Reise nach Norden.",
        "Die Bibliothek der Stadt öffnet morgen früh um neun Uhr, und der Eintritt ist frei.",
        "Zum Abendessen gibt es Suppe mit frischem Brot, danach gehen alle zeitig schlafen."};
    std::vector<std::vector<float>> spoken;
    for (int i = 0; i < 4; ++i) {
        const auto wav = dir / ("s" + std::to_string(i) + ".wav");
        const auto raw = dir / ("s" + std::to_string(i) + ".raw");
        if (!fs::exists(raw)) {
            if (run("espeak-ng -v de -w '" + wav.string() + "' '" + sentences[i] + "'") != 0 ||
                run("sox '" + wav.string() + "' -r 16000 -c 1 -e floating-point -b 32 -t raw '" + raw.string() + "'") != 0)
                throw std::runtime_error("espeak-ng or sox failed");
        }
        spoken.push_back(readRaw(raw));
    }
    const size_t total = static_cast<size_t>(seconds * 16000);
    std::vector<float> audio;
    for (size_t i = 0; audio.size() < total; ++i) {
        audio.insert(audio.end(), spoken[i % 4].begin(), spoken[i % 4].end());
        audio.resize(audio.size() + 2 * 16000, 0.0f);
    }
    audio.resize(total);
    return audio;
}

vocarion::DecodingOptions options(bool fallback) {
    vocarion::DecodingOptions::Arguments a;
    a.language = "de";
    a.temperatureFallbackCount = fallback ? 5 : 0;
    a.usePrefillPrompt = true;
    a.detectLanguage = false;
    a.skipSpecialTokens = true;
    a.withoutTimestamps = true;
    a.chunkingStrategy = vocarion::ChunkingStrategy::vad;
    return vocarion::DecodingOptions(a);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> widths = {384, 1280};
    int runs = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        if (key == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
        if (key == "--shapes") {
            widths.clear();
            std::stringstream list(argv[i + 1]);
            for (std::string item; std::getline(list, item, ',');) widths.push_back(std::stoi(item));
        }
    }
    const fs::path work = fs::temp_directory_path() / ("bench_engine_rtf." + std::to_string(getpid()));
    fs::create_directories(work);
    const std::vector<double> durations = {5, 30, 120};
    std::vector<std::vector<float>> audio;
    for (double seconds : durations) audio.push_back(speech(work, seconds));

    std::printf("%-26s %7s %9s %9s %8s %8s\n", "model", "audio", "options", "time (s)", "RTF", "windows");
    for (int width : widths) {
        const Shape shape = width >= 1280 ? Shape{1280, 20, 32, 4, 128} : Shape{width, std::max(1, width / 64), 4, 4, 80};
        const auto folder = work / ("variant-" + std::to_string(width));
        if (!fs::exists(folder)) {
            const std::string command = (programFolder() / "darivir-model").string() + " tiny --seed 7 --dtype F16" +
                                        " --width " + std::to_string(shape.width) + " --heads " + std::to_string(shape.heads) +
                                        " --encoder-layers " + std::to_string(shape.encoderLayers) + " --decoder-layers " +
                                        std::to_string(shape.decoderLayers) + " --mels " + std::to_string(shape.mels) +
                                        " --out '" + folder.string() + "' > /dev/null";
            if (run(command) != 0) {
                std::fprintf(stderr, "the model tool failed: %s\n", command.c_str());
                return 1;
            }
        }
        const auto loadStart = Clock::now();
        vocarion::Vocarion engine(vocarion::VocarionConfig{.modelFolder = folder.string(),
                                                           .tokenizerFolder = work,
                                                           .verbose = false,
                                                           .prewarm = true,
                                                           .load = true,
                                                           .download = false});
        const double loadSeconds = std::chrono::duration<double>(Clock::now() - loadStart).count();
        const std::string name = "d" + std::to_string(shape.width) + " " + std::to_string(shape.encoderLayers) + "+" +
                                 std::to_string(shape.decoderLayers) + " (load " + std::to_string(loadSeconds).substr(0, 4) + " s)";
        for (bool fallback : {false, true}) {
            for (size_t d = 0; d < durations.size(); ++d) {
                std::vector<double> times;
                double windows = 0;
                for (int r = 0; r < runs; ++r) {
                    const auto start = Clock::now();
                    const auto results = engine.transcribe(audio[d], options(fallback));
                    times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
                    windows = 0;
                    for (const auto& result : results) windows += result.timings.totalDecodingWindows;
                }
                const double t = median(times);
                std::printf("%-26s %6.0fs %9s %9.3f %8.3f %8.0f\n", name.c_str(), durations[d],
                            fallback ? "app" : "greedy", t, t / durations[d], windows);
                std::fflush(stdout);
            }
        }
    }
    std::error_code error;
    fs::remove_all(work, error);
    return 0;
}
