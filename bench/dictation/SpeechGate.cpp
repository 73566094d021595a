// What the speech gate costs the main thread, which runs it once per dictation before the
// model: recordings of steady noise (every frame is measured in full), of a hum (every frame
// measured, and none sounds like a room, so the sound is measured against itself: the most
// work), of the hum cut by a noise gate (0.2 s of exact zeros every second: the sound is
// measured beside the gate's silences) and of digital silence (the least), 10 s, 1 min and
// 5 min long.
#include "KorvuDarivir/Dictation/SpeechPresence.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <numbers>
#include <random>
#include <vector>

namespace {

enum class Sound { silence, noise, hum, gated };

std::vector<float> recording(std::size_t seconds, Sound sound)
{
    std::vector<float> samples(seconds * 16000, 0.0f);
    std::mt19937 random(7);
    std::normal_distribution<float> white(0.0f, 0.003f);  // about -50 dBFS
    for (std::size_t i = 0; i < samples.size(); ++i) {
        if (sound == Sound::noise) samples[i] = white(random);
        if ((sound == Sound::hum || (sound == Sound::gated && i % 16000 < 12800))) samples[i] = 0.004f * static_cast<float>(std::sin(2 * std::numbers::pi * 120 * i / 16000.0));
    }
    return samples;
}

void gate(benchmark::State& state)
{
    const auto sound = static_cast<Sound>(state.range(1));
    const auto samples = recording(static_cast<std::size_t>(state.range(0)), sound);
    for (auto _ : state) benchmark::DoNotOptimize(korvu::containsSpeech(samples));
    state.SetLabel(sound == Sound::noise  ? "noise"
                   : sound == Sound::hum  ? "hum"
                   : sound == Sound::gated ? "hum cut by a noise gate"
                                           : "digital silence");
}

}  // namespace

BENCHMARK(gate)->ArgsProduct({{10, 60, 300}, {1, 2, 3, 0}})->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
