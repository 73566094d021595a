#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "Platform/ML/Model.h"
#include "support/TempDir.h"
#include "TestPaths.h"

using namespace platform::ml;

namespace {

int runTool(const std::string& arguments) {
    const std::string command = std::string(testsupport::kBinDir) + "/darivir-model " + arguments + " > /dev/null 2>&1";
    return std::system(command.c_str());
}

nlohmann::json readJson(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return nlohmann::json::parse(s.str());
}

}  // namespace

TEST(TinyVariant, ToolWritesAFolderThatLoadsAndRuns) {
    testsupport::TempDir dir;
    const auto out = dir.path() / "variant";
    ASSERT_EQ(runTool("tiny --out " + out.string() + " --seed 7"), 0);

    const auto tokenizer = readJson(out / "tokenizer.json");
    std::set<std::string> specials;
    for (const auto& t : tokenizer["added_tokens"]) specials.insert(t["content"].get<std::string>());
    for (const char* s : {"<|endoftext|>", "<|startoftranscript|>", "<|en|>", "<|de|>", "<|translate|>", "<|transcribe|>",
                          "<|startoflm|>", "<|startofprev|>", "<|nospeech|>", "<|notimestamps|>", "<|0.00|>", "<|0.02|>",
                          "<|29.98|>", "<|30.00|>"})
        EXPECT_TRUE(specials.count(s)) << s;
    EXPECT_EQ(specials.size(), 2u + 100u + 6u + 1501u);
    EXPECT_EQ(tokenizer["pre_tokenizer"]["type"], "ByteLevel");
    EXPECT_EQ(tokenizer["model"]["type"], "BPE");
    const auto config = readJson(out / "config.json");
    const int64_t vocab = config["vocab_size"].get<int64_t>();
    EXPECT_EQ(int64_t(tokenizer["model"]["vocab"].size()), vocab);
    EXPECT_TRUE(std::filesystem::exists(out / "tokenizer_config.json"));

    auto mel = Model::load(out / "MelSpectrogram.mlmodelc");
    auto encoder = Model::load(out / "AudioEncoder.mlmodelc");
    auto decoder = Model::load(out / "TextDecoder.mlmodelc");
    EXPECT_EQ(mel->modelDescription().inputDescriptionsByName.at("audio").multiArrayConstraint->shape,
              (std::vector<int64_t>{480000}));
    EXPECT_TRUE(decoder->modelDescription().hasState);

    MultiArray audio({480000}, MultiArrayDataType::float32);
    auto samples = audio.elements<float>();
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = 0.3f * std::sin(float(i) * 0.05f);
    FeatureProvider in;
    in.set("audio", audio);
    const auto features = mel->prediction(in);
    ASSERT_NE(features.multiArray("melspectrogram_features"), nullptr);
    const auto encoded = encoder->prediction(features);
    const MultiArray* states = encoded.multiArray("encoder_output_embeds");
    ASSERT_NE(states, nullptr);
    EXPECT_EQ(states->shape(), (std::vector<int64_t>{1500, 64}));

    auto state = decoder->makeState();
    FeatureProvider step;
    MultiArray ids({3}, MultiArrayDataType::int32);
    ids.elements<int32_t>()[0] = int32_t(config["decoder_start_token_id"].get<int64_t>());
    ids.elements<int32_t>()[1] = 5;
    ids.elements<int32_t>()[2] = 6;
    step.set("input_ids", ids);
    step.set("encoder_output_embeds", *states);
    const auto out1 = decoder->prediction(step, *state);
    const MultiArray* logits = out1.multiArray("logits");
    ASSERT_NE(logits, nullptr);
    EXPECT_EQ(logits->shape(), (std::vector<int64_t>{1, vocab}));
    for (float v : logits->elements<float>()) ASSERT_TRUE(std::isfinite(v));
}

TEST(TinyVariant, SameSeedGivesSameWeightsAndExistingFolderIsRefused) {
    testsupport::TempDir dir;
    ASSERT_EQ(runTool("tiny --out " + (dir.path() / "a").string() + " --seed 3 --audio-ctx 50"), 0);
    ASSERT_EQ(runTool("tiny --out " + (dir.path() / "b").string() + " --seed 3 --audio-ctx 50"), 0);
    auto bytes = [](const std::filesystem::path& p) {
        std::ifstream in(p, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    };
    const auto rel = std::filesystem::path("AudioEncoder.mlmodelc") / "weights.safetensors";
    EXPECT_EQ(bytes(dir.path() / "a" / rel), bytes(dir.path() / "b" / rel));
    EXPECT_NE(runTool("tiny --out " + (dir.path() / "a").string()), 0);
    EXPECT_NE(runTool("tiny"), 0);
}
