#include "Platform/ML/PrecisionChoice.h"

#include <cpuid.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <vector>

#include "Platform/ML/SmallFile.h"
#include "Platform/ML/ThreadTeam.h"

namespace platform::ml {

namespace {

std::string trimmed(std::string s) {
    s.erase(std::find(s.begin(), s.end(), '\0'), s.end());
    const auto first = s.find_first_not_of(' ');
    const auto last = s.find_last_not_of(' ');
    return first == std::string::npos ? std::string() : s.substr(first, last - first + 1);
}

std::string processorModel() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    char vendor[13] = {};
    if (__get_cpuid(0, &a, &b, &c, &d)) {
        std::memcpy(vendor, &b, 4);
        std::memcpy(vendor + 4, &d, 4);
        std::memcpy(vendor + 8, &c, 4);
    }
    unsigned family = 0, model = 0, stepping = 0;
    if (__get_cpuid(1, &a, &b, &c, &d)) {
        const unsigned baseFamily = (a >> 8) & 0xf, baseModel = (a >> 4) & 0xf;
        family = baseFamily == 0xf ? baseFamily + ((a >> 20) & 0xff) : baseFamily;
        model = baseFamily == 0x6 || baseFamily == 0xf ? (((a >> 16) & 0xf) << 4) + baseModel : baseModel;
        stepping = a & 0xf;
    }
    std::string brand;
    if (__get_cpuid(0x80000000, &a, &b, &c, &d) && a >= 0x80000004) {
        char text[49] = {};
        for (unsigned leaf = 0; leaf < 3; ++leaf) {
            __get_cpuid(0x80000002 + leaf, &a, &b, &c, &d);
            std::memcpy(text + leaf * 16, &a, 4);
            std::memcpy(text + leaf * 16 + 4, &b, 4);
            std::memcpy(text + leaf * 16 + 8, &c, 4);
            std::memcpy(text + leaf * 16 + 12, &d, 4);
        }
        brand = trimmed(text);
    }
    std::ostringstream out;
    out << (brand.empty() ? "unknown processor" : brand) << " (" << vendor << " family " << family << " model "
        << model << " stepping " << stepping << ")";
    return out.str();
}

std::string gflops(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.0f", value);
    return text;
}

std::string ratio(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

std::optional<PrecisionCalibration> remembered(const std::filesystem::path& file, const std::string& model) {
    // A file that cannot be read (a folder in its place) counts as absent: measured again.
    const auto json = nlohmann::json::parse(readSmallFile(file), nullptr, false);
    if (!json.is_object() || !json.contains(model)) return std::nullopt;
    const auto& entry = json[model];
    if (!entry.is_object() || !entry.contains("float32") || !entry.contains("bfloat16")) return std::nullopt;
    const auto& f = entry["float32"];
    const auto& b = entry["bfloat16"];
    if (!f.is_number() || !b.is_number()) return std::nullopt;
    const PrecisionCalibration calibration{f.get<double>(), b.get<double>()};
    if (!(calibration.float32 > 0) || !(calibration.bfloat16 > 0)) return std::nullopt;
    return calibration;
}

// Adds this processor's entry to the file, keeping the others; written to a file of its
// own first and renamed over the old one, so a reader never sees half a file.
void remember(const std::filesystem::path& file, const std::string& model, const PrecisionCalibration& calibration) {
    std::error_code ec;
    std::filesystem::create_directories(file.parent_path(), ec);
    nlohmann::json json = nlohmann::json::object();
    if (auto old = nlohmann::json::parse(readSmallFile(file), nullptr, false); old.is_object()) json = std::move(old);
    json[model] = {{"float32", calibration.float32}, {"bfloat16", calibration.bfloat16}};
    const std::filesystem::path temporary = file.string() + "." + std::to_string(getpid()) + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << json.dump(2) << '\n';
        out.flush();
        if (!out) {
            std::filesystem::remove(temporary, ec);
            return;
        }
    }
    std::filesystem::rename(temporary, file, ec);
    if (ec) std::filesystem::remove(temporary, ec);
}

}  // namespace

std::string ProcessorFacts::describe() const {
    std::string text = model + ": ";
    text += avx2 ? "AVX2" : "no AVX2";
    text += avx512 ? ", AVX-512" : ", no AVX-512";
    text += avx512Bf16 ? ", AVX512-BF16" : ", no AVX512-BF16";
    text += amx ? ", AMX" : ", no AMX";
    return text;
}

ProcessorFacts processorFacts() {
    static const ProcessorFacts facts = [] {
        ProcessorFacts f;
        f.model = processorModel();
        f.avx2 = __builtin_cpu_supports("avx2");
        f.avx512 = __builtin_cpu_supports("avx512f");
        f.avx512Bf16 = __builtin_cpu_supports("avx512bf16");
        f.amx = processorHasAmx();
        f.bfloat16Products = bfloat16Available();
        return f;
    }();
    return facts;
}

PrecisionCalibration calibratePrecisions() {
    // The large encoder's MLP product: 1500 positions, width 1280, 5120 hidden.
    constexpr int64_t m = 1500, k = 1280, n = 5120;
    constexpr int rounds = 3;
    std::vector<float> weights(size_t(n * k)), a(size_t(m * k)), c(size_t(m * n));
    for (size_t i = 0; i < weights.size(); ++i) weights[i] = float(int(i * 2654435761u % 2001) - 1000) * 5e-5f;
    for (size_t i = 0; i < a.size(); ++i) a[i] = float(int(i * 40503u % 2001) - 1000) * 1e-3f;
    const MatrixProduct float32(weights, n, k, std::vector<float>(size_t(n), 0.0f), MatrixPrecision::float32, m);
    const MatrixProduct bfloat16(weights, n, k, std::vector<float>(size_t(n), 0.0f), MatrixPrecision::bfloat16, m);
    weights = {};
    const ThreadTeam team(TeamSharing::fairShare);  // as the encoder runs them
    std::vector<float> scratch;
    auto seconds = [&](const MatrixProduct& product) {
        const auto t0 = std::chrono::steady_clock::now();
        product.multiply(a.data(), m, c.data(), scratch);
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    };
    (void)seconds(float32);  // first use: primitives made, pages touched
    (void)seconds(bfloat16);
    double bestFloat = 1e30, bestBf16 = 1e30;
    for (int r = 0; r < rounds; ++r) {  // in turn, so a change in the machine's load meets both
        bestFloat = std::min(bestFloat, seconds(float32));
        bestBf16 = std::min(bestBf16, seconds(bfloat16));
    }
    const double flop = 2.0 * double(m) * double(n) * double(k);
    return {flop / bestFloat / 1e9, flop / bestBf16 / 1e9};
}

PrecisionChoice choosePrecision(const ProcessorFacts& facts, const std::filesystem::path& cacheFile,
                                const std::function<PrecisionCalibration()>& calibrate) {
    if (!facts.bfloat16Products) return {MatrixPrecision::float32, "float32: this processor runs no bfloat16 products"};
    if (facts.amx) return {MatrixPrecision::bfloat16, "bfloat16: the processor has AMX"};
    if (!facts.avx512Bf16)
        return {MatrixPrecision::float32, "float32: the processor has neither AMX nor AVX512-BF16"};
    std::string source = "remembered in " + cacheFile.string();
    auto calibration = remembered(cacheFile, facts.model);
    if (!calibration) {
        calibration = calibrate();
        remember(cacheFile, facts.model, *calibration);
        source = "measured now, remembered in " + cacheFile.string();
    }
    const bool faster = calibration->bfloat16 > calibration->float32;
    return {faster ? MatrixPrecision::bfloat16 : MatrixPrecision::float32,
            std::string(faster ? "bfloat16" : "float32") + ": AVX512-BF16 without AMX, bfloat16 products at " +
                gflops(calibration->bfloat16) + " GFLOP/s against float32 at " + gflops(calibration->float32) +
                " (" + ratio(calibration->bfloat16 / calibration->float32) + " x) on " + facts.model + ", " + source};
}

std::filesystem::path precisionCacheFile() {
    const char* cache = std::getenv("XDG_CACHE_HOME");
    std::filesystem::path base;
    if (cache != nullptr && cache[0] == '/') {
        base = cache;
    } else {
        const char* home = std::getenv("HOME");
        base = std::filesystem::path(home != nullptr && home[0] != '\0' ? home : "/tmp") / ".cache";
    }
    return base / "KORVU Darivir" / "matrix-precision.json";
}

const PrecisionChoice& automaticPrecision() {
    static const PrecisionChoice choice = choosePrecision(processorFacts(), precisionCacheFile(), calibratePrecisions);
    return choice;
}

}  // namespace platform::ml
