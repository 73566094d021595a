#include "RuntimeFigures.h"

#include <immintrin.h>
#include <omp.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <vector>

#include "Platform/ML/PrecisionChoice.h"
#include "Platform/ML/ThreadTeam.h"

namespace benchsupport {

using namespace platform::ml;

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

template <class Run>
double bestSeconds(int times, const Run& run) {
    run();  // first use: primitives made, pages touched
    double best = 1e30;
    for (int i = 0; i < times; ++i) {
        const auto t0 = Clock::now();
        run();
        best = std::min(best, secondsSince(t0));
    }
    return best;
}

__attribute__((target("avx512f"))) float sumAvx512(const float* v, size_t n) {
    __m512 a = _mm512_setzero_ps(), b = _mm512_setzero_ps(), c = _mm512_setzero_ps(), d = _mm512_setzero_ps();
    for (size_t i = 0; i + 64 <= n; i += 64) {
        a = _mm512_add_ps(a, _mm512_loadu_ps(v + i));
        b = _mm512_add_ps(b, _mm512_loadu_ps(v + i + 16));
        c = _mm512_add_ps(c, _mm512_loadu_ps(v + i + 32));
        d = _mm512_add_ps(d, _mm512_loadu_ps(v + i + 48));
    }
    alignas(64) float lanes[16];
    _mm512_store_ps(lanes, _mm512_add_ps(_mm512_add_ps(a, b), _mm512_add_ps(c, d)));
    float s = 0;
    for (float l : lanes) s += l;
    return s;
}

float sumPlain(const float* v, size_t n) {
    float s = 0;
    for (size_t i = 0; i < n; ++i) s += v[i];
    return s;
}

}  // namespace

ModelShape shapeForWidth(int64_t width) {
    if (width == 384) return {384, 6, 4, 4, 80, 51865};
    if (width == 768) return {768, 12, 12, 12, 80, 51865};
    return {1280, 20, 32, 4, 128, 51866};
}

double encoderFlops(const ModelShape& s) {
    const double d = double(s.d), ctx = double(s.audioPositions), frames = 2 * ctx;
    const double convs = 2 * frames * 3 * double(s.mels) * d + 2 * ctx * 3 * d * d;
    const double block = 2 * ctx * d * 3 * d + 2 * ctx * d * d + 2 * 2 * ctx * ctx * d + 2 * 2 * ctx * d * 4 * d;
    return convs + double(s.encoderLayers) * block;
}

double decoderStepBytes(const ModelShape& s) {
    const double d = double(s.d);
    // Per layer: self q/k/v and out (4 d^2), cross q and out (2 d^2), MLP (8 d^2) in fp16;
    // the cross keys and values (2 x positions x d) in fp32.
    return double(s.decoderLayers) * (2.0 * 14 * d * d + 4.0 * 2 * double(s.audioPositions) * d) +
           2.0 * double(s.vocab) * d;
}

MatrixPeak matrixPeak(MatrixPrecision precision, int64_t d) {
    const int64_t m = 1500;
    MatrixPeak peak;
    // The MLP's two products are the largest; q, k and v together run at a higher rate on
    // some processors, and a peak below a product the encoder runs would be no peak.
    for (const auto& [k, n] : {std::pair{d, 4 * d}, std::pair{4 * d, d}, std::pair{d, 3 * d}}) {
        std::vector<float> w(size_t(n * k)), a(size_t(m * k)), c(size_t(m * n));
        for (size_t i = 0; i < w.size(); ++i) w[i] = float(int(i * 2654435761u % 2001) - 1000) * 5e-5f;
        for (size_t i = 0; i < a.size(); ++i) a[i] = float(int(i * 40503u % 2001) - 1000) * 1e-3f;
        const MatrixProduct product(w, n, k, std::vector<float>(size_t(n), 0.0f), precision, m);
        const ThreadTeam team(TeamSharing::fairShare);  // as the encoder
        std::vector<float> scratch;
        const double flop = 2.0 * double(m * n * k);
        auto consider = [&](double gflops, const std::string& what) {
            if (gflops > peak.gflops) peak = {gflops, what};
        };
        const std::string shape = std::to_string(m) + " x " + std::to_string(k) + " x " + std::to_string(n);
        consider(flop / bestSeconds(7, [&] { product.multiply(a.data(), m, c.data(), scratch); }) / 1e9,
                 (precision == MatrixPrecision::bfloat16 ? "bf16 packed, " : "fp32 from fp16 weights, ") + shape);
        if (precision == MatrixPrecision::float32)
            consider(flop / bestSeconds(7, [&] { gemmNT(m, n, k, 1.0f, a.data(), k, w.data(), k, 0.0f, c.data(), n); }) / 1e9,
                     "fp32 weights, " + shape);
    }
    return peak;
}

double readBandwidth() {
    const ThreadTeam team(TeamSharing::freeProcessors);  // as a decoder step
    const size_t n = (size_t(1) << 30) / 4;
    std::vector<float> v(n, 1.0f);
    double sink = 0;
    const bool fast = __builtin_cpu_supports("avx512f");
    constexpr size_t chunk = 1 << 16;
    const double best = bestSeconds(5, [&] {
        float sum = 0;
#pragma omp parallel for reduction(+ : sum) schedule(static)
        for (size_t j = 0; j < n; j += chunk) sum += fast ? sumAvx512(v.data() + j, chunk) : sumPlain(v.data() + j, chunk);
        sink += sum;
    });
    if (sink < 0) std::cout << sink;
    return double(n * 4) / best / 1e9;
}

std::string processorFeatures() { return processorFacts().describe(); }

std::string sourceCommit() {
    const std::string command = std::string("git -C '") + KORVU_SOURCE_DIR +
                                "' describe --always --dirty --abbrev=7 2>/dev/null";
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        std::array<char, 128> buffer{};
        while (fgets(buffer.data(), int(buffer.size()), pipe) != nullptr) out += buffer.data();
        pclose(pipe);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out.empty() ? "unknown" : out;
}

std::string loadAverage() {
    std::ifstream loadavg("/proc/loadavg");
    std::string load1;
    loadavg >> load1;
    return load1;
}

}  // namespace benchsupport
