// A model's results must not depend on how many threads run it: the team follows the
// machine's load, and two predictions of one input must agree bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "Platform/ML/Model.h"
#include "Platform/ML/ThreadTeam.h"
#include "support/TempDir.h"
#include "TestPaths.h"

using namespace platform::ml;

TEST(TeamSize, EveryModelKindGivesBitIdenticalResultsForAnyTeamSize) {
    // Wide enough that every product is split between threads, fewer heads than threads,
    // and enough keys for the decoder's cross attention to be split into chunks.
    constexpr int64_t kCtx = 600, kWidth = 128;
    testsupport::TempDir dir;
    const std::string command = std::string(testsupport::kBinDir) + "/darivir-model tiny --seed 5 --heads 2 --width " +
                                std::to_string(kWidth) + " --audio-ctx " + std::to_string(kCtx) + " --out " +
                                (dir.path() / "v").string() + " > /dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    auto path = [&](const char* name) { return dir.path() / "v" / (std::string(name) + ".mlmodelc"); };

    std::vector<MatrixPrecision> precisions{MatrixPrecision::float32};
    if (bfloat16Available()) precisions.push_back(MatrixPrecision::bfloat16);
    for (const MatrixPrecision precision : precisions) {
        const ModelConfiguration configuration{ComputeUnits::all, precision};
        const auto mel = Model::load(path("MelSpectrogram"), configuration);
        const auto encoder = Model::load(path("AudioEncoder"), configuration);
        const auto decoder = Model::load(path("TextDecoder"), configuration);
        MultiArray audio({kCtx * 320}, MultiArrayDataType::float32);
        for (size_t i = 0; i < size_t(kCtx * 320); ++i) audio.elements<float>()[i] = 0.3f * std::sin(float(i) * 0.037f);

        auto run = [&](int team) {
            const PinnedTeamSize pinned(team);
            FeatureProvider in;
            in.set("audio", audio);
            const auto features = mel->prediction(in);
            const auto encoded = encoder->prediction(features);
            auto state = decoder->makeState();
            FeatureProvider prompt, step;
            MultiArray ids({3}, MultiArrayDataType::int32), one({1}, MultiArrayDataType::int32);
            ids.elements<int32_t>()[0] = 7, ids.elements<int32_t>()[1] = 300, ids.elements<int32_t>()[2] = 41;
            one.elements<int32_t>()[0] = 99;
            prompt.set("input_ids", ids);
            prompt.set("encoder_output_embeds", *encoded.multiArray("encoder_output_embeds"));
            step.set("input_ids", one);
            const auto first = decoder->prediction(prompt, *state);
            const auto second = decoder->prediction(step, *state);
            std::vector<std::vector<float>> outputs;
            for (const auto* a : {features.multiArray("melspectrogram_features"),
                                  encoded.multiArray("encoder_output_embeds"), first.multiArray("logits"),
                                  second.multiArray("logits")})
                outputs.emplace_back(a->elements<float>().begin(), a->elements<float>().end());
            return outputs;
        };
        const auto single = run(1);
        for (const int team : {3, 8}) {
            const auto many = run(team);
            const char* names[] = {"mel", "encoder", "decoder prompt", "decoder step"};
            for (size_t i = 0; i < single.size(); ++i)
                EXPECT_EQ(single[i], many[i]) << names[i] << " with " << team << " threads, "
                                              << (precision == MatrixPrecision::bfloat16 ? "bf16" : "fp32");
        }
    }
}

TEST(TeamSize, FollowsTheProcessorsOtherProgramsLeaveFree) {
    const struct {
        std::string_view line;
        std::optional<int> processors;
    } quotas[] = {
        {"max 100000\n", std::nullopt}, {"400000 100000\n", 4}, {"250000 100000", 2},  // whole processors only
        {"50000 100000", 1},            {"200000", 2},          {"-1 100000", std::nullopt},
        {"", std::nullopt},             {"abc 100000", std::nullopt}, {"100000 0", std::nullopt},
    };
    for (const auto& c : quotas) EXPECT_EQ(cpuQuotaProcessors(c.line), c.processors) << c.line;
    EXPECT_EQ(runnableTasks("45.84 40.57 37.37 45/476 11883\n"), 45);
    EXPECT_EQ(runnableTasks("0.00 0.01 0.05 80 7"), std::nullopt);
    EXPECT_TRUE(taskRunnable("812 (a) b) R) R 1"));  // the state follows the last parenthesis
    EXPECT_FALSE(taskRunnable("813 (worker R) S 1 812"));

    const struct {
        int allowed;
        std::optional<int> quota;
        int runnable, own, free;
    } machines[] = {
        {8, std::nullopt, 1, 1, 8},  // idle
        {8, std::nullopt, 4, 1, 5},  // three busy programs
        {8, std::nullopt, 9, 1, 1},  // every processor taken: still one thread
        {8, std::nullopt, 9, 9, 8},  // only our own threads run
        {8, 2, 1, 1, 2},             // the quota caps the team
        {4, 6, 2, 1, 3},             // so does the affinity mask
    };
    for (const auto& c : machines)
        EXPECT_EQ(freeProcessors(c.allowed, c.quota, c.runnable, c.own), c.free) << c.runnable << " " << c.own;
}
