// The tool's checkpoint mode: a checkpoint in the public layout ("model." names, one
// config.json, several safetensors shards, a tied proj_out) becomes a variant folder whose
// models compute what the same weights compute in a tiny variant.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "Platform/ML/Model.h"
#include "TestPaths.h"
#include "support/TempDir.h"

using namespace platform::ml;
namespace fs = std::filesystem;

namespace {

std::string readAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Rewrites a safetensors file with every name prefixed and an optional extra tensor.
void rewrite(const fs::path& from, const fs::path& to, const std::string& prefix, bool addProjOut) {
    const std::string bytes = readAll(from);
    uint64_t n = 0;
    for (int i = 7; i >= 0; --i) n = n << 8 | uint8_t(bytes[size_t(i)]);
    const auto header = nlohmann::json::parse(bytes.substr(8, n));
    std::string data = bytes.substr(8 + n);
    nlohmann::json out = nlohmann::json::object();
    for (const auto& [name, e] : header.items()) out[prefix + name] = e;
    if (addProjOut) {
        const auto& embed = header.at("decoder.embed_tokens.weight");
        out["proj_out.weight"] = embed;  // tied: the same bytes
    }
    std::string text = out.dump();
    std::string length(8, '\0');
    for (int i = 0; i < 8; ++i) length[size_t(i)] = char((uint64_t(text.size()) >> (8 * i)) & 0xff);
    std::ofstream(to, std::ios::binary) << length << text << data;
}

}  // namespace

TEST(CheckpointConversion, ConvertedFolderComputesTheSameAsTheOriginal) {
    testsupport::TempDir dir;
    const std::string tool = std::string(testsupport::kBinDir) + "/darivir-model ";
    const fs::path tiny = dir.path() / "tiny", checkpoint = dir.path() / "checkpoint", converted = dir.path() / "converted";
    ASSERT_EQ(std::system((tool + "tiny --dtype F32 --audio-ctx 30 --seed 5 --out " + tiny.string() + " > /dev/null").c_str()), 0);

    fs::create_directories(checkpoint);
    rewrite(tiny / "AudioEncoder.mlmodelc" / "weights.safetensors", checkpoint / "model-00001-of-00002.safetensors", "model.", false);
    rewrite(tiny / "TextDecoder.mlmodelc" / "weights.safetensors", checkpoint / "model-00002-of-00002.safetensors", "model.", true);
    for (const char* name : {"config.json", "tokenizer.json", "tokenizer_config.json"}) fs::copy_file(tiny / name, checkpoint / name);

    ASSERT_EQ(std::system((tool + "convert --dtype F32 --checkpoint " + checkpoint.string() + " --out " + converted.string() +
                           " > /dev/null")
                              .c_str()),
              0);
    EXPECT_EQ(readAll(converted / "tokenizer.json"), readAll(tiny / "tokenizer.json"));
    EXPECT_EQ(readAll(converted / "MelSpectrogram.mlmodelc" / "weights.safetensors"),
              readAll(tiny / "MelSpectrogram.mlmodelc" / "weights.safetensors"));

    const ModelConfiguration fp32{ComputeUnits::cpuOnly, MatrixPrecision::float32};
    auto run = [&](const fs::path& folder) {
        auto encoder = Model::load(folder / "AudioEncoder.mlmodelc", fp32);
        auto decoder = Model::load(folder / "TextDecoder.mlmodelc", fp32);
        MultiArray mel({80, 60}, MultiArrayDataType::float32);
        for (size_t i = 0; i < 4800; ++i) mel.elements<float>()[i] = float(i % 13) / 13.0f - 0.5f;
        FeatureProvider in;
        in.set("melspectrogram_features", mel);
        const auto encoded = encoder->prediction(in);
        FeatureProvider step;
        MultiArray ids({2}, MultiArrayDataType::int32);
        ids.elements<int32_t>()[0] = 10;
        ids.elements<int32_t>()[1] = 20;
        step.set("input_ids", ids);
        step.set("encoder_output_embeds", *encoded.multiArray("encoder_output_embeds"));
        const auto out = decoder->prediction(step);
        const auto logits = out.multiArray("logits")->elements<float>();
        return std::vector<float>(logits.begin(), logits.end());
    };
    EXPECT_EQ(run(converted), run(tiny));

    // A half-precision conversion keeps norms and positional tables in F32.
    const fs::path half = dir.path() / "half";
    ASSERT_EQ(std::system((tool + "convert --checkpoint " + checkpoint.string() + " --out " + half.string() + " > /dev/null").c_str()), 0);
    const std::string bytes = readAll(half / "AudioEncoder.mlmodelc" / "weights.safetensors");
    uint64_t n = 0;
    for (int i = 7; i >= 0; --i) n = n << 8 | uint8_t(bytes[size_t(i)]);
    const auto header = nlohmann::json::parse(bytes.substr(8, n));
    EXPECT_EQ(header["encoder.layers.0.fc1.weight"]["dtype"], "F16");
    EXPECT_EQ(header["encoder.layers.0.fc1.bias"]["dtype"], "F32");
    EXPECT_EQ(header["encoder.embed_positions.weight"]["dtype"], "F32");

    // A checkpoint with a tensor missing, or without its config, is refused with a
    // message, and nothing is left behind.
    rewrite(tiny / "AudioEncoder.mlmodelc" / "weights.safetensors", checkpoint / "model-00001-of-00002.safetensors", "other.", false);
    EXPECT_NE(std::system((tool + "convert --checkpoint " + checkpoint.string() + " --out " + (dir.path() / "x").string() +
                           " 2> /dev/null")
                              .c_str()),
              0);
    EXPECT_FALSE(fs::exists(dir.path() / "x"));
    EXPECT_FALSE(fs::exists(dir.path() / "x.partial"));
    fs::remove(checkpoint / "config.json");
    EXPECT_NE(std::system((tool + "convert --checkpoint " + checkpoint.string() + " --out " + (dir.path() / "x").string() +
                           " 2> /dev/null")
                              .c_str()),
              0);
    EXPECT_FALSE(fs::exists(dir.path() / "x"));
}
