// Model folders come from a download or the user's disk: every number in model.json is
// checked before it decides an allocation, and odd weights never lead to undefined
// behaviour in the kernels.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Platform/ML/Kernels.h"
#include "Platform/ML/Model.h"
#include "support/TempDir.h"

using namespace platform::ml;

namespace {

// A mel model's weights: mel_filters [4, 201] in F32.
std::string melWeights() {
    const std::string header = nlohmann::json{{"mel_filters", {{"dtype", "F32"}, {"shape", {4, 201}}, {"data_offsets", {0, 4 * 201 * 4}}}}}.dump();
    std::string out(8, '\0');
    for (int i = 0; i < 8; ++i) out[size_t(i)] = char((header.size() >> (8 * i)) & 0xff);
    return out + header + std::string(4 * 201 * 4, '\0');
}

TEST(HostileModelFolder, EveryNumberIsCheckedAndTheFieldNamed) {
    struct Case {
        std::string json;
        std::string field;
    };
    const std::string mel = R"("kind": "mel", "n_mels": 4, "n_samples": 1600)";
    const std::string decoder = R"("format": 1, "kind": "decoder", "d_model": 64, "attention_heads": 4, "layers": 2,
        "ffn_dim": 256, "vocab_size": 300, "max_target_positions": 448)";
    const std::vector<Case> cases = {
        // Fractions and numbers no integer type holds are refused, never converted.
        {R"({"format": 1.5, )" + mel + "}", "format"},
        {R"({"format": 1e300, )" + mel + "}", "format"},
        {R"({"format": 18446744073709551615, )" + mel + "}", "format"},
        {R"({"format": 1, "kind": "mel", "n_mels": 1e300, "n_samples": 1600})", "n_mels"},
        {R"({"format": 1, "kind": "mel", "n_mels": 4, "n_samples": 1600, "inputs": [{"name": "audio", "shape": [1e300]}]})",
         "audio"},
        // Sizes that no weight backs are held to the family's limits before any allocation:
        // a 4.3 GB DFT table, an 8.6 GB window, a 480000-frame spectrogram, a 16 GB cache.
        {R"({"format": 1, "kind": "mel", "n_mels": 4, "n_samples": 1600, "n_fft": 32768})", "n_fft"},
        {R"({"format": 1, "kind": "mel", "n_mels": 4, "n_samples": 2147483648})", "n_samples"},
        {R"({"format": 1, "kind": "mel", "n_mels": 4, "n_samples": 480000, "hop_length": 1})", "hop_length"},
        {"{" + decoder + R"(, "n_audio_ctx": 2147483648})", "n_audio_ctx"},
        {"{" + decoder + R"(, "n_audio_ctx": 1501})", "n_audio_ctx"},
        // A size the weights carry must agree with them.
        {R"({"format": 1, "kind": "mel", "n_mels": 5, "n_samples": 1600})", "n_mels"},
    };
    testsupport::TempDir dir;
    const auto folder = dir.path() / "Hostile.mlmodelc";
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "weights.safetensors", std::ios::binary) << melWeights();
    for (const auto& c : cases) {
        std::ofstream(folder / "model.json", std::ios::binary | std::ios::trunc) << c.json;
        try {
            (void)Model::load(folder);
            ADD_FAILURE() << "loaded: " << c.json;
        } catch (const MlError& error) {
            EXPECT_EQ(error.code, MlError::Code::invalidModel) << error.what();
            EXPECT_NE(std::string(error.what()).find("\"" + c.field + "\""), std::string::npos) << error.what();
            EXPECT_NE(std::string(error.what()).find(folder.string()), std::string::npos) << error.what();
        }
    }
    // The same folder with sane numbers loads.
    std::ofstream(folder / "model.json", std::ios::binary | std::ios::trunc) << R"({"format": 1, )" + mel + "}";
    EXPECT_NO_THROW((void)Model::load(folder));
}

TEST(HostileModelFolder, NanAndInfinityPassTheKernels) {
    using kernels::isa::Level;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    for (const Level level : {Level::plain, Level::avx2, Level::avx512}) {
        if (!kernels::isa::available(level)) continue;
        // 17 values: the vector part and the scalar tail both see NaN.
        std::vector<float> x(17, 0.5f);
        x[0] = nan, x[1] = inf, x[2] = -inf, x[16] = nan;
        kernels::isa::expInPlace(level, x.data(), x.size());
        EXPECT_TRUE(std::isnan(x[0]) && std::isnan(x[16])) << int(level);
        EXPECT_GT(x[1], 1e38f) << int(level);
        EXPECT_LT(x[2], 1e-37f) << int(level);
        EXPECT_NEAR(x[3], std::exp(0.5f), 1e-6f) << int(level);
        std::vector<float> g(17, 1.0f);
        g[0] = nan, g[16] = nan, g[1] = inf;
        kernels::isa::geluInPlace(level, g.data(), g.size());
        EXPECT_TRUE(std::isnan(g[0]) && std::isnan(g[16])) << int(level);
        EXPECT_EQ(g[1], inf) << int(level);
    }
    std::vector<float> row(40, 1.0f);
    row[5] = nan;
    kernels::softmaxInPlace(row.data(), row.size());  // the result may be NaN; it must not be undefined
}

}  // namespace
