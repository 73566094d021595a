// The model tool: a checkpoint in the public layout ("model." names, one config.json,
// several shards, a tied proj_out) becomes a variant folder whose models compute what the
// same weights compute in a tiny variant.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>

#include "Platform/ML/Model.h"
#include "TestPaths.h"
#include "support/FakeHub.h"
#include "support/TempDir.h"

using namespace platform::ml;
namespace fs = std::filesystem;
using testsupport::readFile;

namespace {

int tool(const std::string& arguments) {
    return std::system((std::string(testsupport::kBinDir) + "/darivir-model " + arguments + " > /dev/null 2>&1").c_str());
}

// A safetensors file's header and the data after it.
std::pair<nlohmann::json, std::string> split(const std::string& bytes) {
    uint64_t n = 0;
    for (int i = 7; i >= 0; --i) n = n << 8 | uint8_t(bytes[size_t(i)]);
    return {nlohmann::json::parse(bytes.substr(8, n)), bytes.substr(8 + n)};
}

// Rewrites a safetensors file with every name prefixed, and a tied proj_out if asked.
void rewrite(const fs::path& from, const fs::path& to, const std::string& prefix, bool addProjOut) {
    const auto [header, data] = split(readFile(from));
    nlohmann::json out = nlohmann::json::object();
    for (const auto& [name, e] : header.items()) out[prefix + name] = e;
    if (addProjOut) out["proj_out.weight"] = header.at("decoder.embed_tokens.weight");
    const std::string text = out.dump();
    std::string length(8, '\0');
    for (int i = 0; i < 8; ++i) length[size_t(i)] = char((uint64_t(text.size()) >> (8 * i)) & 0xff);
    std::ofstream(to, std::ios::binary) << length << text << data;
}

std::vector<float> logits(const fs::path& folder) {
    const ModelConfiguration fp32{ComputeUnits::cpuOnly, MatrixPrecision::float32};
    MultiArray mel({80, 60}, MultiArrayDataType::float32), ids({2}, MultiArrayDataType::int32);
    for (size_t i = 0; i < 4800; ++i) mel.elements<float>()[i] = float(i % 13) / 13.0f - 0.5f;
    ids.elements<int32_t>()[0] = 10, ids.elements<int32_t>()[1] = 20;
    FeatureProvider in, step;
    in.set("melspectrogram_features", mel);
    const auto encoded = Model::load(folder / "AudioEncoder.mlmodelc", fp32)->prediction(in);
    step.set("input_ids", ids);
    step.set("encoder_output_embeds", *encoded.multiArray("encoder_output_embeds"));
    const auto out = Model::load(folder / "TextDecoder.mlmodelc", fp32)->prediction(step);
    const auto l = out.multiArray("logits")->elements<float>();
    return {l.begin(), l.end()};
}

}  // namespace

TEST(ModelTool, ConvertedCheckpointComputesTheSameAsTheOriginalAndBadInputLeavesNothing) {
    testsupport::TempDir dir;
    const fs::path tiny = dir / "tiny", checkpoint = dir / "checkpoint";
    ASSERT_EQ(tool("tiny --dtype F32 --audio-ctx 30 --seed 5 --out " + tiny.string()), 0);
    EXPECT_NE(tool("tiny --out " + tiny.string()), 0);  // an existing folder is refused
    // A scripted decoder is a successor map: a text that repeats a token is refused.
    EXPECT_NE(tool("scripted --out " + (dir / "c").string() + " --text ' Hallo, Welt, du'"), 0);
    EXPECT_FALSE(fs::exists(dir / "c"));
    fs::create_directories(checkpoint);
    rewrite(tiny / "AudioEncoder.mlmodelc" / "weights.safetensors", checkpoint / "model-00001-of-00002.safetensors", "model.", false);
    rewrite(tiny / "TextDecoder.mlmodelc" / "weights.safetensors", checkpoint / "model-00002-of-00002.safetensors", "model.", true);
    for (const char* name : {"config.json", "tokenizer.json", "tokenizer_config.json"}) fs::copy_file(tiny / name, checkpoint / name);

    const auto convert = [&](const std::string& options, const std::string& out) {
        return tool("convert " + options + " --checkpoint " + checkpoint.string() + " --out " + (dir / out).string());
    };
    ASSERT_EQ(convert("--dtype F32", "converted"), 0);
    EXPECT_EQ(readFile(dir / "converted" / "tokenizer.json"), readFile(tiny / "tokenizer.json"));
    const auto mel = fs::path("MelSpectrogram.mlmodelc") / "weights.safetensors";
    EXPECT_EQ(readFile(dir / "converted" / mel), readFile(tiny / mel));
    EXPECT_EQ(logits(dir / "converted"), logits(tiny));

    // A half-precision conversion keeps norms and positional tables in F32.
    ASSERT_EQ(convert("", "half"), 0);
    const auto header = split(readFile(dir / "half" / "AudioEncoder.mlmodelc" / "weights.safetensors")).first;
    EXPECT_EQ(header["encoder.layers.0.fc1.weight"]["dtype"], "F16");
    EXPECT_EQ(header["encoder.layers.0.fc1.bias"]["dtype"], "F32");
    EXPECT_EQ(header["encoder.embed_positions.weight"]["dtype"], "F32");

    // A checkpoint with a tensor missing, or without its config, is refused and leaves nothing.
    rewrite(tiny / "AudioEncoder.mlmodelc" / "weights.safetensors", checkpoint / "model-00001-of-00002.safetensors", "other.", false);
    EXPECT_NE(convert("", "x"), 0);
    EXPECT_FALSE(fs::exists(dir / "x") || fs::exists(dir / "x.partial"));
    fs::remove(checkpoint / "config.json");
    EXPECT_NE(convert("", "x"), 0);
    EXPECT_FALSE(fs::exists(dir / "x"));
}
