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

}  // namespace

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
    // A scripted decoder is a successor map: a text that repeats a token is refused.
    EXPECT_NE(runTool("scripted --out " + (dir.path() / "c").string() + " --text ' Hallo, Welt, du'"), 0);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "c"));
}
