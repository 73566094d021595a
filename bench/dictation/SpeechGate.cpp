// What the speech gate costs the main thread, which runs it once per dictation before the
// model: recordings of steady noise (every frame is measured in full, the most work) and of
// digital silence (the least), 10 s, 1 min and 5 min long.
#include "KorvuDarivir/Dictation/SpeechPresence.h"

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

namespace {

std::vector<float> recording(std::size_t seconds, bool noise)
{
    std::vector<float> samples(seconds * 16000, 0.0f);
    if (!noise) return samples;
    std::mt19937 random(7);
    std::normal_distribution<float> white(0.0f, 0.003f);  // about -50 dBFS
    for (float& s : samples) s = white(random);
    return samples;
}

void gate(benchmark::State& state)
{
    const auto samples = recording(static_cast<std::size_t>(state.range(0)), state.range(1) != 0);
    for (auto _ : state) benchmark::DoNotOptimize(korvu::containsSpeech(samples));
    state.SetLabel(state.range(1) != 0 ? "noise" : "digital silence");
}

}  // namespace

BENCHMARK(gate)->ArgsProduct({{10, 60, 300}, {1, 0}})->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
