// Model folders come from a download or the user's disk: each fault gives its own typed
// error naming the folder, and every number is checked before it decides an allocation.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "Platform/ML/Model.h"
#include "support/TempDir.h"

using namespace platform::ml;
using Code = MlError::Code;

namespace {

struct Entry {
    std::string name, dtype;
    std::vector<int64_t> shape;
    size_t bytes;
};

// A safetensors file: an 8-byte length (the header's unless given), the header, `data`.
std::string safetensors(const std::string& header, const std::string& data, uint64_t length = 0) {
    std::string out(8, '\0');
    for (int i = 0; i < 8; ++i) out[size_t(i)] = char(((length ? length : header.size()) >> (8 * i)) & 0xff);
    return out + header + data;
}

std::string headerOf(const std::vector<Entry>& entries) {
    nlohmann::json h = nlohmann::json::object();
    size_t offset = 0;
    for (const auto& e : entries) {
        h[e.name] = {{"dtype", e.dtype}, {"shape", e.shape}, {"data_offsets", {offset, offset + e.bytes}}};
        offset += e.bytes;
    }
    return h.dump();
}

constexpr size_t kBytes = 4 * 201 * 4;
const std::string kFilters = headerOf({{"mel_filters", "F32", {4, 201}, kBytes}});
const std::string kGood = safetensors(kFilters, std::string(kBytes, '\x01'));
const std::string kMel = R"("kind": "mel", "n_mels": 4, "n_samples": 1600)";
const std::string kJson = R"({"format": 1, )" + kMel + "}";
const std::string kDecoder = R"({"format": 1, "kind": "decoder", "d_model": 64, "attention_heads": 4, "layers": 2,
    "ffn_dim": 256, "vocab_size": 300, "max_target_positions": 448, "n_audio_ctx": )";

}  // namespace

TEST(ModelFolder, EachFaultHasItsOwnErrorNamingTheFolder) {
    struct Case {
        std::optional<std::string> json, weights;
        std::optional<Code> code;  // none: loads
        std::string fragment;
    };
    const std::vector<Case> cases = {
        {kJson, kGood, {}, ""},
        // Extra tensors, other orders and half precision are accepted.
        {kJson, safetensors(headerOf({{"other", "BF16", {3}, 6}, {"mel_filters", "F16", {4, 201}, kBytes / 2}}), std::string(6 + kBytes / 2, '\0')), {}, ""},
        {kJson, safetensors(kFilters, std::string(kBytes - 10, '\0')), Code::invalidModel, "tensor 'mel_filters' lies outside the file"},
        {kJson, std::string(5, '\0'), Code::invalidModel, "truncated"},
        {kJson, safetensors(kFilters, std::string(kBytes, '\0'), kFilters.size() + kBytes + 100), Code::invalidModel, "longer than the file"},
        {kJson, safetensors("{not json", std::string(kBytes, '\0')), Code::invalidModel, "not a JSON object"},
        {kJson, safetensors(headerOf({{"mel_filters", "I64", {4, 201}, kBytes * 2}}), std::string(kBytes * 2, '\0')), Code::invalidModel, "unsupported dtype 'I64'"},
        {kJson, safetensors(R"({"mel_filters": {"dtype": 5, "shape": [4, 201], "data_offsets": [0, 3216]}})", std::string(kBytes, '\0')), Code::invalidModel, "unsupported dtype '(none)'"},
        {kJson, safetensors(headerOf({{"mel_filters", "F16", {4, 201}, kBytes}}), std::string(kBytes, '\0')), Code::invalidModel, "need " + std::to_string(kBytes / 2)},
        {kJson, safetensors(headerOf({{"filters", "F32", {4, 201}, kBytes}}), std::string(kBytes, '\0')), Code::invalidModel, "missing tensor 'mel_filters'"},
        {kJson, safetensors(headerOf({{"mel_filters", "F32", {4, 200}, 3200}}), std::string(3200, '\0')), Code::invalidModel, "has shape [4, 200], expected [4, 201]"},
        {kJson, std::nullopt, Code::modelNotFound, "weights"},
        {std::nullopt, kGood, Code::modelNotFound, "model.json"},
        {"[1, 2", kGood, Code::invalidModel, "not a JSON object"},
        {R"({"format": "1", )" + kMel + "}", kGood, Code::invalidModel, "malformed"},
        {R"({"format": 1, "kind": ["mel"], "n_mels": 4, "n_samples": 1600})", kGood, Code::invalidModel, "malformed"},
        {R"({"format": 1, "kind": "vocoder"})", kGood, Code::unsupported, "vocoder"},
        {R"({"format": 1, "kind": "mel", "n_mels": -4, "n_samples": 1600})", kGood, Code::invalidModel, "\"n_mels\" must be a positive integer"},
        {R"({"format": 1, )" + kMel + R"(, "outputs": [{"name": "melspectrogram_features", "shape": [4, 11]}]})", kGood, Code::invalidModel, "has shape [4, 11]"},
        // Fractions and numbers no integer type holds are refused, never converted.
        {R"({"format": 1.5, )" + kMel + "}", kGood, Code::invalidModel, "\"format\""},
        {R"({"format": 1e300, )" + kMel + "}", kGood, Code::invalidModel, "\"format\""},
        {R"({"format": 18446744073709551615, )" + kMel + "}", kGood, Code::invalidModel, "\"format\""},
        {R"({"format": 1, "kind": "mel", "n_mels": 1e300, "n_samples": 1600})", kGood, Code::invalidModel, "\"n_mels\""},
        {R"({"format": 1, )" + kMel + R"(, "inputs": [{"name": "audio", "shape": [1e300]}]})", kGood, Code::invalidModel, "\"audio\""},
        // Sizes no weight backs are held to the family's limits before any allocation: a
        // 4.3 GB DFT table, an 8.6 GB window, a 480000-frame spectrogram, a 16 GB cache.
        {R"({"format": 1, )" + kMel + R"(, "n_fft": 32768})", kGood, Code::invalidModel, "\"n_fft\""},
        {R"({"format": 1, "kind": "mel", "n_mels": 4, "n_samples": 2147483648})", kGood, Code::invalidModel, "\"n_samples\""},
        {R"({"format": 1, "kind": "mel", "n_mels": 4, "n_samples": 480000, "hop_length": 1})", kGood, Code::invalidModel, "\"hop_length\""},
        {kDecoder + "2147483648}", kGood, Code::invalidModel, "\"n_audio_ctx\""},
        {kDecoder + "1501}", kGood, Code::invalidModel, "\"n_audio_ctx\""},
        // A size the weights carry must agree with them.
        {R"({"format": 1, "kind": "mel", "n_mels": 5, "n_samples": 1600})", kGood, Code::invalidModel, "\"n_mels\""},
    };
    // The code and message of loading a folder, none when it loads.
    auto errorOf = [](const std::filesystem::path& folder) -> std::optional<std::pair<Code, std::string>> {
        try {
            (void)Model::load(folder);
        } catch (const MlError& error) {
            return std::make_pair(error.code, std::string(error.what()));
        }
        return std::nullopt;
    };
    testsupport::TempDir dir;
    const auto folder = dir.path() / "MelSpectrogram.mlmodelc";
    std::filesystem::create_directories(folder);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json.value_or("(no model.json)") + " / " + c.fragment);
        std::filesystem::remove(folder / "model.json");
        std::filesystem::remove(folder / "weights.safetensors");
        if (c.json) std::ofstream(folder / "model.json", std::ios::binary) << *c.json;
        if (c.weights) std::ofstream(folder / "weights.safetensors", std::ios::binary) << *c.weights;
        const auto error = errorOf(folder);
        EXPECT_EQ(error ? std::optional(error->first) : std::nullopt, c.code) << (error ? error->second : "loaded");
        if (error) { EXPECT_TRUE(error->second.find(c.fragment) != std::string::npos && error->second.find(folder.string()) != std::string::npos) << error->second; }
    }
    EXPECT_EQ(errorOf(dir.path() / "Nothing.mlmodelc").value_or(std::make_pair(Code::allocation, "")).first, Code::modelNotFound);
    EXPECT_EQ(errorOf(dir.path() / "X.mlpackage").value_or(std::make_pair(Code::allocation, "")).first, Code::unsupported);

    // A sound folder prewarms, and its inputs are checked against its description.
    std::ofstream(folder / "model.json", std::ios::trunc) << kJson;
    std::ofstream(folder / "weights.safetensors", std::ios::binary | std::ios::trunc) << kGood;
    EXPECT_NO_THROW(Model::prewarm(folder, {ComputeUnits::cpuAndNeuralEngine}));
    auto model = Model::load(folder, {ComputeUnits::cpuAndGPU});
    FeatureProvider wrongShape, missing, text, good;
    wrongShape.set("audio", MultiArray({1599}, MultiArrayDataType::float32));
    text.set("audio", std::string("no"));
    for (const auto* in : {&wrongShape, &missing, &text}) EXPECT_THROW((void)model->prediction(*in), MlError);
    good.set("audio", MultiArray({1600}, MultiArrayDataType::float32));
    EXPECT_NO_THROW((void)model->prediction(good));
}
