// bench_ml: speed and memory of the model runtime at the real shapes, random weights.
//
//   bench_ml [--width 384|768|1280] [--precision auto|fp32|bf16] [--tokens 100] [--dir DIR]
//            [--load 0,3,8]
//
// Without --width it runs 384, 768 and 1280 one after the other, each in a child process
// of its own so that its peak memory is its own. --load runs the chosen widths once per
// count N, each time with N busy processes of its own started beside it (what a user's
// compiler or browser does to the machine), and ends with one table row per run. Every ratio printed is against a figure
// measured by the same run: the matrix-product peak (a large product on the same matrix
// library and precision) and the memory read bandwidth (a parallel sum over 1 GiB).
#include <immintrin.h>
#include <omp.h>
#include <sys/resource.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <thread>
#include <string>
#include <vector>

#include "Platform/ML/Half.h"
#include "Platform/ML/MatrixProduct.h"
#include "Platform/ML/Model.h"
#include "Platform/ML/ThreadTeam.h"

namespace fs = std::filesystem;
using namespace platform::ml;

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Shape {
    int64_t d, heads, encoderLayers, decoderLayers, mels, vocab;
};

Shape shapeFor(int64_t width) {
    if (width == 384) return {384, 6, 4, 4, 80, 51865};
    if (width == 768) return {768, 12, 12, 12, 80, 51865};
    return {1280, 20, 32, 4, 128, 51866};
}

// Writes one model folder with small random fp16 weights (the numbers do not matter for
// speed, only the shapes).
void writeModel(const fs::path& folder, const nlohmann::json& modelJson,
                const std::vector<std::pair<std::string, std::vector<int64_t>>>& tensors, std::mt19937& random) {
    fs::create_directories(folder);
    nlohmann::json header = nlohmann::json::object();
    uint64_t offset = 0;
    for (const auto& [name, shape] : tensors) {
        uint64_t n = 1;
        for (auto s : shape) n *= uint64_t(s);
        const bool f32 = name == "mel_filters";
        header[name] = {{"dtype", f32 ? "F32" : "F16"}, {"shape", shape}, {"data_offsets", {offset, offset + n * (f32 ? 4 : 2)}}};
        offset += n * (f32 ? 4 : 2);
    }
    std::string text = header.dump();
    while (text.size() % 8) text.push_back(' ');
    std::ofstream out(folder / "weights.safetensors", std::ios::binary);
    uint64_t length = text.size();
    out.write(reinterpret_cast<const char*>(&length), 8);
    out << text;
    std::uniform_real_distribution<float> uniform(-0.05f, 0.05f);
    for (const auto& [name, shape] : tensors) {
        uint64_t n = 1;
        for (auto s : shape) n *= uint64_t(s);
        if (name == "mel_filters") {
            std::vector<float> v(n, 0.01f);
            out.write(reinterpret_cast<const char*>(v.data()), std::streamsize(n * 4));
            continue;
        }
        std::vector<uint16_t> table(4096);
        for (auto& h : table) h = floatToHalfBits(uniform(random));
        std::vector<uint16_t> v(n);
        for (uint64_t i = 0; i < n; ++i) v[i] = table[(i * 2654435761u + (i >> 12)) & 4095];
        if (name.find("layer_norm.weight") != std::string::npos) std::fill(v.begin(), v.end(), floatToHalfBits(1.0f));
        out.write(reinterpret_cast<const char*>(v.data()), std::streamsize(n * 2));
    }
    std::ofstream(folder / "model.json") << modelJson.dump(2);
}

void writeVariant(const fs::path& dir, const Shape& s) {
    if (fs::exists(dir / "done")) return;
    std::mt19937 random(1);
    const int64_t d = s.d, ffn = 4 * s.d;
    writeModel(dir / "MelSpectrogram.mlmodelc",
               {{"format", 1}, {"kind", "mel"}, {"n_mels", s.mels}, {"n_samples", 480000}}, {{"mel_filters", {s.mels, 201}}},
               random);
    auto block = [&](std::vector<std::pair<std::string, std::vector<int64_t>>>& t, const std::string& p, bool cross) {
        for (std::string a : cross ? std::vector<std::string>{"self_attn", "encoder_attn"} : std::vector<std::string>{"self_attn"}) {
            for (std::string proj : {"q_proj", "k_proj", "v_proj", "out_proj"}) {
                t.push_back({p + a + "." + proj + ".weight", {d, d}});
                if (proj != "k_proj") t.push_back({p + a + "." + proj + ".bias", {d}});
            }
            t.push_back({p + a + "_layer_norm.weight", {d}});
            t.push_back({p + a + "_layer_norm.bias", {d}});
        }
        t.push_back({p + "fc1.weight", {ffn, d}});
        t.push_back({p + "fc1.bias", {ffn}});
        t.push_back({p + "fc2.weight", {d, ffn}});
        t.push_back({p + "fc2.bias", {d}});
        t.push_back({p + "final_layer_norm.weight", {d}});
        t.push_back({p + "final_layer_norm.bias", {d}});
    };
    std::vector<std::pair<std::string, std::vector<int64_t>>> enc = {
        {"encoder.conv1.weight", {d, s.mels, 3}}, {"encoder.conv1.bias", {d}}, {"encoder.conv2.weight", {d, d, 3}},
        {"encoder.conv2.bias", {d}}, {"encoder.embed_positions.weight", {1500, d}}, {"encoder.layer_norm.weight", {d}},
        {"encoder.layer_norm.bias", {d}}};
    for (int64_t l = 0; l < s.encoderLayers; ++l) block(enc, "encoder.layers." + std::to_string(l) + ".", false);
    writeModel(dir / "AudioEncoder.mlmodelc",
               {{"format", 1}, {"kind", "encoder"}, {"n_mels", s.mels}, {"d_model", d}, {"attention_heads", s.heads},
                {"layers", s.encoderLayers}, {"ffn_dim", ffn}, {"n_audio_ctx", 1500}},
               enc, random);
    std::vector<std::pair<std::string, std::vector<int64_t>>> dec = {
        {"decoder.embed_tokens.weight", {s.vocab, d}}, {"decoder.embed_positions.weight", {448, d}},
        {"decoder.layer_norm.weight", {d}}, {"decoder.layer_norm.bias", {d}}};
    for (int64_t l = 0; l < s.decoderLayers; ++l) block(dec, "decoder.layers." + std::to_string(l) + ".", true);
    writeModel(dir / "TextDecoder.mlmodelc",
               {{"format", 1}, {"kind", "decoder"}, {"d_model", d}, {"attention_heads", s.heads},
                {"layers", s.decoderLayers}, {"ffn_dim", ffn}, {"n_audio_ctx", 1500}, {"vocab_size", s.vocab},
                {"max_target_positions", 448}},
               dec, random);
    std::ofstream(dir / "done") << "1";
}

// GFLOP/s of the matrix library at the encoder's largest product, same precision, on as
// many threads as the runtime would give the encoder now: the runtime's plain float32 product on
// float32 weights, or its bfloat16 product, whose weights are packed once.
double gemmPeak(MatrixPrecision precision, int64_t d) {
    const int64_t m = 1500, k = d, n = 4 * d;
    std::vector<float> w(size_t(n * k), 0.01f), a(size_t(m * k), 0.5f), c(size_t(m * n));
    MatrixProduct product(w, n, k, std::vector<float>(size_t(n), 0.0f), precision, m);
    const ThreadTeam team(TeamSharing::fairShare);  // as the encoder
    auto run = [&] {
        if (precision == MatrixPrecision::float32)
            gemmNT(m, n, k, 1.0f, a.data(), k, w.data(), k, 0.0f, c.data(), n);
        else product.multiply(a.data(), m, c.data());
    };
    run();
    std::vector<double> times;
    for (int i = 0; i < 7; ++i) {
        const auto t0 = Clock::now();
        run();
        times.push_back(seconds(t0, Clock::now()));
    }
    return 2.0 * double(m * n * k) / median(times) / 1e9;
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

// GB/s of a parallel read of 1 GiB, on as many threads as the runtime would give a decoder step now.
double readBandwidth() {
    const ThreadTeam team(TeamSharing::freeProcessors);  // as the decoder
    const size_t n = (size_t(1) << 30) / 4;
    std::vector<float> v(n, 1.0f);
    std::vector<double> times;
    double sink = 0;
    for (int i = 0; i < 5; ++i) {
        const auto t0 = Clock::now();
        float sum = 0;
        const bool fast = __builtin_cpu_supports("avx512f");
        constexpr size_t chunk = 1 << 16;
#pragma omp parallel for reduction(+ : sum) schedule(static)
        for (size_t j = 0; j < n; j += chunk) sum += fast ? sumAvx512(v.data() + j, chunk) : sumPlain(v.data() + j, chunk);
        times.push_back(seconds(t0, Clock::now()));
        sink += sum;
    }
    if (sink < 0) std::cout << sink;
    return double(n * 4) / median(times) / 1e9;
}

double encoderFlops(const Shape& s) {
    const double d = double(s.d), ctx = 1500, frames = 3000;
    const double convs = 2 * frames * 3 * double(s.mels) * d + 2 * ctx * 3 * d * d;
    const double block = 2 * ctx * d * 3 * d + 2 * ctx * d * d + 2 * 2 * ctx * ctx * d + 2 * 2 * ctx * d * 4 * d;
    return convs + double(s.encoderLayers) * block;
}

// Seconds of processor time the whole process has used so far (all its threads).
double processCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Processor time the process uses while the caller does nothing: in the first 0.1 s
// after a prediction, and in the 1 s after that.
std::pair<double, double> idleCpuSeconds() {
    const double c0 = processCpuSeconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const double c1 = processCpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    return {c1 - c0, processCpuSeconds() - c1};
}

double peakRssGiB() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_maxrss) / (1024.0 * 1024.0);
}

// The one-minute load average of the machine.
std::string loadAverage() {
    std::ifstream loadavg("/proc/loadavg");
    std::string load1;
    loadavg >> load1;
    return load1;
}

// Measures one width; `row` receives the run's line of the summary table.
int runWidth(int64_t width, MatrixPrecision precision, int tokens, const fs::path& root, int busy, std::string& row) {
    const Shape s = shapeFor(width);
    const fs::path dir = root / ("w" + std::to_string(width));
    const std::string load1 = loadAverage();
    const char* wait = std::getenv("OMP_WAIT_POLICY");
    std::cout << "== " << busy << " busy processes beside it; width " << width << " (" << s.encoderLayers << "+" << s.decoderLayers << " layers, " << s.mels
              << " mels, vocabulary " << s.vocab << "), " << omp_get_max_threads() << " threads, OMP_WAIT_POLICY="
              << (wait ? wait : "(unset)") << ", load average " << load1 << " at the start, "
              << freeProcessorsNow() << " processors free by the runtime's reading\n";
    writeVariant(dir, s);
    const ModelConfiguration configuration{ComputeUnits::all, precision};
    auto t0 = Clock::now();
    auto mel = Model::load(dir / "MelSpectrogram.mlmodelc", configuration);
    auto encoder = Model::load(dir / "AudioEncoder.mlmodelc", configuration);
    auto decoder = Model::load(dir / "TextDecoder.mlmodelc", configuration);
    const double loadTime = seconds(t0, Clock::now());
    const MatrixPrecision used = encoder->matrixPrecision();
    const char* usedName = used == MatrixPrecision::bfloat16 ? "bf16 (oneDNN)" : "fp32 (oneDNN)";

    MultiArray audio({480000}, MultiArrayDataType::float32);
    for (size_t i = 0; i < 480000; ++i) audio.elements<float>()[i] = 0.1f * std::sin(float(i) * 0.01f);
    FeatureProvider in;
    in.set("audio", audio);
    std::vector<double> melTimes, encoderTimes, windowTimes, prefillTimes, tokenTimes;
    for (int run = 0; run < 3; ++run) {
        const auto w0 = Clock::now();
        const auto features = mel->prediction(in);
        const auto w1 = Clock::now();
        const auto encoded = encoder->prediction(features);
        const auto w2 = Clock::now();
        auto state = decoder->makeState();
        FeatureProvider prompt;
        MultiArray ids({4}, MultiArrayDataType::int32);
        for (int i = 0; i < 4; ++i) ids.elements<int32_t>()[size_t(i)] = 50258 % int32_t(s.vocab) + i;
        prompt.set("input_ids", ids);
        prompt.set("encoder_output_embeds", *encoded.multiArray("encoder_output_embeds"));
        auto logits = decoder->prediction(prompt, *state);
        const auto w3 = Clock::now();
        for (int t = 0; t < tokens; ++t) {
            const auto l = logits.multiArray("logits")->elements<float>();
            const int32_t next = int32_t(std::max_element(l.begin(), l.end() - 2000) - l.begin());
            FeatureProvider step;
            MultiArray one({1}, MultiArrayDataType::int32);
            one.elements<int32_t>()[0] = next;
            step.set("input_ids", one);
            logits = decoder->prediction(step, *state);
        }
        const auto w4 = Clock::now();
        melTimes.push_back(seconds(w0, w1));
        encoderTimes.push_back(seconds(w1, w2));
        prefillTimes.push_back(seconds(w2, w3));
        tokenTimes.push_back(seconds(w3, w4) / tokens);
        windowTimes.push_back(seconds(w0, w4));
    }
    const std::string loadEnd = loadAverage();
    const auto [idleFirst, idleLater] = idleCpuSeconds();
    const double peakMemory = peakRssGiB();  // before the measurements' own buffers
    const double peak = gemmPeak(used, s.d);
    const double encoderRate = encoderFlops(s) / median(encoderTimes) / 1e9;
    const double bandwidth = readBandwidth();
    // Bytes every token must read: all decoder matrices in fp16, the cross keys and values
    // in fp32, the token embedding (fp16) for the logits.
    const double d = double(s.d);
    const double decoderBytes = double(s.decoderLayers) * (2.0 * (3 * d * d + d * d + 2 * d * d + 8 * d * d) +
                                                           4.0 * 2 * 1500 * d) +
                                2.0 * double(s.vocab) * d;
    const double bound = decoderBytes / (bandwidth * 1e9) * 1e3;
    const double tokenMs = median(tokenTimes) * 1e3;
    std::cout.flush();
    std::printf("load                 %8.2f s\n", loadTime);
    std::printf("mel                  %8.1f ms\n", median(melTimes) * 1e3);
    std::printf("encoder              %8.1f ms   %.0f GFLOP/s = %.2f of the %s peak %.0f GFLOP/s\n",
                median(encoderTimes) * 1e3, encoderRate, encoderRate / peak, usedName, peak);
    std::printf("decoder prompt (4)   %8.1f ms   (cross keys/values included)\n", median(prefillTimes) * 1e3);
    std::printf("decoder per token    %8.2f ms   = %.2f x the bandwidth bound %.2f ms (%.0f MB at %.0f GB/s)\n", tokenMs,
                tokenMs / bound, bound, decoderBytes / 1e6, bandwidth);
    std::printf("window (%d tokens)  %8.2f s    real-time factor %.3f\n", tokens, median(windowTimes),
                median(windowTimes) / 30.0);
    std::printf("peak memory          %8.2f GiB\n", peakMemory);
    std::printf("load average         %8s at the end of the window runs\n", loadEnd.c_str());
    std::printf("idle CPU after       %8.1f ms in the first 0.1 s, %.1f ms in the 1 s after\n", idleFirst * 1e3,
                idleLater * 1e3);
    char line[400];
    std::snprintf(line, sizeof line, "| %lld, %s | %d | %s / %s | %.2f ms = %.2f x %.2f | %.0f ms = %.2f of %.0f | %.2f s | %.1f / %.1f ms | %.2f GiB |\n",
                static_cast<long long>(width), used == MatrixPrecision::bfloat16 ? "bf16" : "fp32", busy, load1.c_str(), loadEnd.c_str(),
                tokenMs, tokenMs / bound, bound, median(encoderTimes) * 1e3, encoderRate / peak, peak,
                median(windowTimes), idleFirst * 1e3, idleLater * 1e3, peakMemory);
    row = line;
    return 0;
}

}  // namespace

// Starts `count` processes that keep one core each busy until they are killed.
std::vector<pid_t> startBusyProcesses(int count) {
    std::vector<pid_t> busy;
    for (int i = 0; i < count; ++i) {
        const pid_t child = fork();
        if (child == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive the benchmark, however it ends
            volatile unsigned long spin = 0;
            for (;;) spin = spin + 1;
        }
        if (child > 0) busy.push_back(child);
    }
    return busy;
}

void stopBusyProcesses(const std::vector<pid_t>& busy) {
    for (pid_t child : busy) kill(child, SIGKILL);
    for (pid_t child : busy) waitpid(child, nullptr, 0);
}

// Runs one width in a child process, so that its peak memory is its own; returns the
// child's table row.
std::string runInChild(int64_t width, MatrixPrecision precision, int tokens, const fs::path& root, int busy) {
    std::cout.flush();
    int fds[2];
    if (pipe(fds) != 0) return {};
    const pid_t child = fork();
    if (child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        close(fds[0]);
        std::string row;
        const int rc = runWidth(width, precision, tokens, root, busy, row);
        std::cout.flush();
        std::fflush(stdout);
        if (write(fds[1], row.data(), row.size()) < 0) _exit(1);
        _exit(rc);
    }
    close(fds[1]);
    std::string row;
    char buffer[512];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) row.append(buffer, size_t(n));
    close(fds[0]);
    waitpid(child, nullptr, 0);
    return row;
}

int main(int argc, char** argv) {
    int64_t width = 0;
    std::vector<int> loads;
    int tokens = 100;
    MatrixPrecision precision = MatrixPrecision::automatic;
    fs::path root = fs::temp_directory_path() / "korvu-bench-ml";
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i], value = argv[i + 1];
        if (key == "--width") width = std::stoll(value);
        else if (key == "--tokens") tokens = std::stoi(value);
        else if (key == "--dir") root = value;
        else if (key == "--load") {
            std::stringstream list(value);
            for (std::string n; std::getline(list, n, ',');) loads.push_back(std::stoi(n));
        }
        else if (key == "--precision")
            precision = value == "fp32" ? MatrixPrecision::float32 : value == "bf16" ? MatrixPrecision::bfloat16 : MatrixPrecision::automatic;
    }
    const std::vector<int64_t> widths = width != 0 ? std::vector<int64_t>{width} : std::vector<int64_t>{384, 768, 1280};
    if (loads.empty()) {
        std::string row;
        if (width != 0) return runWidth(width, precision, tokens, root, 0, row);
        for (int64_t w : widths) runInChild(w, precision, tokens, root, 0);
        return 0;
    }
    for (int64_t w : widths) writeVariant(root / ("w" + std::to_string(w)), shapeFor(w));
    std::string rows;
    for (int64_t w : widths) {
        for (int n : loads) {
            const auto busy = startBusyProcesses(n);
            rows += runInChild(w, precision, tokens, root, n);
            stopBusyProcesses(busy);
        }
    }
    std::cout << "\n| width, precision | busy processes | load average at start / end | decoder step (x bandwidth bound) | "
                 "encoder (of matrix peak GFLOP/s) | window | idle CPU: first 0.1 s / next 1 s | peak memory |\n"
                 "|---|---|---|---|---|---|---|---|\n"
              << rows;
    return 0;
}
