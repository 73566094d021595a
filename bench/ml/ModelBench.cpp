// bench_ml: speed and memory of the model runtime at the real shapes, random weights.
//
//   bench_ml [--width 384|768|1280] [--precision auto|fp32|bf16] [--tokens 100] [--dir DIR]
//            [--load 0,3,8]
//
// Without --width it runs 384, 768 and 1280 one after the other, each in a child process
// of its own so that its peak memory is its own. --load runs the chosen widths once per
// count N, each time with N busy processes of its own started beside it (what a user's
// compiler or browser does to the machine), and ends with a Markdown table of one row per
// run, headed by the commit and the processor's features. Every ratio printed is against a
// figure measured by the same run: the matrix-product peak (the best of the runtime's own
// products at the encoder's largest shapes, in the encoder's precision) and the memory read
// bandwidth (a parallel sum over 1 GiB), or against the run without busy processes.
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
#include <optional>
#include <random>
#include <sstream>
#include <thread>
#include <string>
#include <vector>

#include "Platform/ML/Half.h"
#include "Platform/ML/MatrixProduct.h"
#include "Platform/ML/Model.h"
#include "Platform/ML/PrecisionChoice.h"
#include "Platform/ML/ThreadTeam.h"
#include "RuntimeFigures.h"

namespace fs = std::filesystem;
using namespace platform::ml;

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

using benchsupport::ModelShape;

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

void writeVariant(const fs::path& dir, const ModelShape& s) {
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

// One run's figures for the summary table.
struct RunFigures {
    int64_t width = 0;
    bool bf16 = false;
    int busy = 0;
    std::string loadStart, loadEnd;
    double stepMs = 0, stepBoundMs = 0, encoderMs = 0, encoderShare = 0, peak = 0, windowS = 0, windowBoundS = 0;
    double idleFirstMs = 0, idleLaterMs = 0, peakGiB = 0;

    std::string text() const {
        std::ostringstream out;
        out << width << ' ' << bf16 << ' ' << busy << ' ' << loadStart << ' ' << loadEnd << ' ' << stepMs << ' '
            << stepBoundMs << ' ' << encoderMs << ' ' << encoderShare << ' ' << peak << ' ' << windowS << ' '
            << windowBoundS << ' ' << idleFirstMs << ' ' << idleLaterMs << ' ' << peakGiB;
        return out.str();
    }
    static std::optional<RunFigures> parse(const std::string& text) {
        RunFigures f;
        std::istringstream in(text);
        in >> f.width >> f.bf16 >> f.busy >> f.loadStart >> f.loadEnd >> f.stepMs >> f.stepBoundMs >> f.encoderMs >>
            f.encoderShare >> f.peak >> f.windowS >> f.windowBoundS >> f.idleFirstMs >> f.idleLaterMs >> f.peakGiB;
        if (!in) return std::nullopt;
        return f;
    }
};

std::string format(const char* pattern, auto... values) {
    char text[256];
    std::snprintf(text, sizeof text, pattern, values...);
    return text;
}

// Measures one width into `figures`.
int runWidth(int64_t width, MatrixPrecision precision, int tokens, const fs::path& root, int busy, RunFigures& figures) {
    const ModelShape s = benchsupport::shapeForWidth(width);
    const fs::path dir = root / ("w" + std::to_string(width));
    const std::string load1 = benchsupport::loadAverage();
    const char* wait = std::getenv("OMP_WAIT_POLICY");
    std::cout << "== " << busy << " busy processes beside it; width " << width << " (" << s.encoderLayers << "+" << s.decoderLayers << " layers, " << s.mels
              << " mels, vocabulary " << s.vocab << "), " << omp_get_max_threads() << " threads, OMP_WAIT_POLICY="
              << (wait ? wait : "(unset)") << ", load average " << load1 << " at the start, "
              << freeProcessorsNow() << " processors free by the runtime's reading\n";
    writeVariant(dir, s);
    std::cout << benchsupport::processorFeatures() << "\nautomatic precision: "
              << (precision == MatrixPrecision::automatic ? automaticPrecision().reason : "(not asked for)") << "\n";
    const ModelConfiguration configuration{ComputeUnits::all, precision};
    // The peak is measured before the models are loaded (so its buffers stay out of the
    // peak memory) and after the windows, and the better one kept: on a shared machine
    // the load can change while the windows run.
    const MatrixPrecision expected = precision == MatrixPrecision::automatic ? automaticPrecision().precision : precision;
    const auto peakBefore = benchsupport::matrixPeak(expected, s.d);
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
    const std::string loadEnd = benchsupport::loadAverage();
    const auto [idleFirst, idleLater] = idleCpuSeconds();
    const double peakMemory = peakRssGiB();  // before the measurements' own buffers
    auto peak = benchsupport::matrixPeak(used, s.d);
    if (peakBefore.gflops > peak.gflops && expected == used) peak = peakBefore;
    const double encoderRate = benchsupport::encoderFlops(s) / median(encoderTimes) / 1e9;
    const double bandwidth = benchsupport::readBandwidth();
    const double decoderBytes = benchsupport::decoderStepBytes(s);
    const double bound = decoderBytes / (bandwidth * 1e9) * 1e3;
    const double tokenMs = median(tokenTimes) * 1e3;
    // The window's bound: the encoder at the peak and the tokens at the step's bound.
    const double windowBound = benchsupport::encoderFlops(s) / (peak.gflops * 1e9) + tokens * bound / 1e3;
    std::cout.flush();
    std::printf("load                 %8.2f s\n", loadTime);
    std::printf("mel                  %8.1f ms\n", median(melTimes) * 1e3);
    std::printf("encoder              %8.1f ms   %.0f GFLOP/s = %.2f of the %s peak %.0f GFLOP/s (%s)\n",
                median(encoderTimes) * 1e3, encoderRate, encoderRate / peak.gflops, usedName, peak.gflops,
                peak.what.c_str());
    std::printf("decoder prompt (4)   %8.1f ms   (cross keys/values included)\n", median(prefillTimes) * 1e3);
    std::printf("decoder per token    %8.2f ms   = %.2f x the bandwidth bound %.2f ms (%.0f MB at %.0f GB/s)\n", tokenMs,
                tokenMs / bound, bound, decoderBytes / 1e6, bandwidth);
    std::printf("window (%d tokens)  %8.2f s    = %.2f x its bound %.2f s; real-time factor %.3f\n", tokens,
                median(windowTimes), median(windowTimes) / windowBound, windowBound, median(windowTimes) / 30.0);
    std::printf("peak memory          %8.2f GiB (%.2f GB)\n", peakMemory, peakMemory * 1.073741824);
    std::printf("load average         %8s at the end of the window runs\n", loadEnd.c_str());
    std::printf("idle CPU after       %8.1f ms in the first 0.1 s, %.1f ms in the 1 s after\n", idleFirst * 1e3,
                idleLater * 1e3);
    figures = {width, used == MatrixPrecision::bfloat16, busy, load1, loadEnd, tokenMs, bound,
               median(encoderTimes) * 1e3, encoderRate / peak.gflops, peak.gflops, median(windowTimes), windowBound,
               idleFirst * 1e3, idleLater * 1e3, peakMemory};
    return 0;
}

// The Markdown table of the runs, each ratio to the same width's run without busy processes.
std::string table(const std::vector<RunFigures>& runs) {
    std::string out =
        "| width, precision | busy processes | load average start / end | decoder step = x its bound | step x idle | "
        "encoder = share of the matrix peak | window = x its bound | window x idle | idle CPU: first 0.1 s / next 1 s | "
        "peak memory |\n|---|---|---|---|---|---|---|---|---|---|\n";
    for (const RunFigures& r : runs) {
        const RunFigures* idle = nullptr;
        for (const RunFigures& i : runs)
            if (i.width == r.width && i.busy == 0 && idle == nullptr) idle = &i;
        const std::string stepIdle = idle ? format("%.2f", r.stepMs / idle->stepMs) : "-";
        const std::string windowIdle = idle ? format("%.2f", r.windowS / idle->windowS) : "-";
        out += format("| %lld, %s | %d | %s / %s | ", static_cast<long long>(r.width), r.bf16 ? "bf16" : "fp32", r.busy,
                      r.loadStart.c_str(), r.loadEnd.c_str());
        out += format("%.2f ms = %.2f x %.2f | %s | ", r.stepMs, r.stepMs / r.stepBoundMs, r.stepBoundMs, stepIdle.c_str());
        out += format("%.0f ms = %.2f of %.0f GFLOP/s | ", r.encoderMs, r.encoderShare, r.peak);
        out += format("%.2f s = %.2f x %.2f | %s | ", r.windowS, r.windowS / r.windowBoundS, r.windowBoundS,
                      windowIdle.c_str());
        out += format("%.1f / %.1f ms | %.2f GiB |\n", r.idleFirstMs, r.idleLaterMs, r.peakGiB);
    }
    return out;
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
// child's figures.
std::optional<RunFigures> runInChild(int64_t width, MatrixPrecision precision, int tokens, const fs::path& root, int busy) {
    std::cout.flush();
    int fds[2];
    if (pipe(fds) != 0) return {};
    const pid_t child = fork();
    if (child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        close(fds[0]);
        RunFigures figures;
        const int rc = runWidth(width, precision, tokens, root, busy, figures);
        std::cout.flush();
        std::fflush(stdout);
        const std::string row = figures.text();
        if (write(fds[1], row.data(), row.size()) < 0) _exit(1);
        _exit(rc);
    }
    close(fds[1]);
    std::string row;
    char buffer[512];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) row.append(buffer, size_t(n));
    close(fds[0]);
    waitpid(child, nullptr, 0);
    return RunFigures::parse(row);
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
    // Nothing here may start the OpenMP pool before the children are forked.
    std::printf("commit %s\n", benchsupport::sourceCommit().c_str());
    std::fflush(stdout);
    if (loads.empty()) {
        RunFigures figures;
        if (width != 0) return runWidth(width, precision, tokens, root, 0, figures);
        for (int64_t w : widths) runInChild(w, precision, tokens, root, 0);
        return 0;
    }
    for (int64_t w : widths) writeVariant(root / ("w" + std::to_string(w)), benchsupport::shapeForWidth(w));
    std::vector<RunFigures> runs;
    for (int64_t w : widths) {
        for (int n : loads) {
            const auto busy = startBusyProcesses(n);
            if (auto figures = runInChild(w, precision, tokens, root, n)) runs.push_back(*figures);
            stopBusyProcesses(busy);
        }
    }
    std::printf("\nCommit %s; %s; %d processors.\n\n%s", benchsupport::sourceCommit().c_str(),
                benchsupport::processorFeatures().c_str(), omp_get_num_procs(), table(runs).c_str());
    return 0;
}
