#include <gtest/gtest.h>

#include "BexmorCore/ModelDownloadConfig.h"
#include "BexmorCore/ModelDownloaderError.h"
#include "BexmorCore/ModelInfo.h"

namespace {

using bexmor::ModelInfo;
using platform::ml::ComputeUnits;

TEST(ModelInfo, PatternsSelectTheModelFolderAtEveryDepth) {
    EXPECT_EQ(ModelInfo(std::nullopt, std::nullopt, "m", ComputeUnits::all).downloadPattern(), "m/*/*/*");
    EXPECT_EQ(ModelInfo(std::nullopt, "v", "m", ComputeUnits::all).downloadPattern(), "m/*/v/*");
    EXPECT_EQ(ModelInfo("1", std::nullopt, "m", ComputeUnits::all).downloadPattern(), "m/1/*/*");
    EXPECT_EQ(ModelInfo("1", "v", "m", ComputeUnits::all).downloadPattern(), "m/1/v/*");
}

TEST(ModelInfo, DescriptionsSkipAbsentParts) {
    EXPECT_EQ(ModelInfo(std::nullopt, std::nullopt, "m", ComputeUnits::all).description(), "m");
    EXPECT_EQ(ModelInfo(std::nullopt, "v", "m", ComputeUnits::all).description(), "m/v");
    EXPECT_EQ(ModelInfo("1", "v", "m", ComputeUnits::all).description(), "m/1/v");
    EXPECT_EQ(ModelInfo(std::nullopt, std::nullopt, "m", ComputeUnits::all).debugDescription(),
              "ModelInfo(name: m, version: nil, variant: nil, computeUnit: all)");
    EXPECT_EQ(ModelInfo("1", "v", "m", ComputeUnits::cpuAndNeuralEngine).debugDescription(),
              "ModelInfo(name: m, version: 1, variant: v, computeUnit: cpuAndNeuralEngine)");
    EXPECT_EQ(ModelInfo("1", "v", "m", static_cast<ComputeUnits>(7)).debugDescription(),
              "ModelInfo(name: m, version: 1, variant: v, computeUnit: unknown)");
}

TEST(ModelInfo, ModelUrlAppendsThePresentParts) {
    EXPECT_EQ(ModelInfo(std::nullopt, std::nullopt, "m", ComputeUnits::all).modelURL("/base"), "/base/m");
    EXPECT_EQ(ModelInfo(std::nullopt, "v", "m", ComputeUnits::all).modelURL("/base"), "/base/m/v");
    EXPECT_EQ(ModelInfo("1", "v", "m", ComputeUnits::all).modelURL("/base"), "/base/m/1/v");
}

TEST(ModelInfo, BaseFolderIsTheParentOfTheNearestNamedFolder) {
    const ModelInfo info(std::nullopt, std::nullopt, "name", ComputeUnits::all);
    EXPECT_EQ(info.findBaseFolder("/a/name/ver/x"), std::filesystem::path("/a"));
    EXPECT_EQ(info.findBaseFolder("/a/name"), std::filesystem::path("/a"));
    EXPECT_EQ(info.findBaseFolder("/a/name/"), std::filesystem::path("/a"));
    EXPECT_EQ(info.findBaseFolder("/name"), std::filesystem::path("/"));
    // The nearest one counts when the name appears twice.
    EXPECT_EQ(info.findBaseFolder("/name/b/name/c"), std::filesystem::path("/name/b"));
    EXPECT_EQ(info.findBaseFolder("/"), std::nullopt);
    EXPECT_EQ(info.findBaseFolder("/a/b/c"), std::nullopt);
    // Exact equality: a longer name or another case is no match.
    EXPECT_EQ(info.findBaseFolder("/a/names/Name"), std::nullopt);
}

TEST(ModelDownloadConfig, KeepsEveryFieldAsGiven) {
    const bexmor::ModelDownloadConfig config("/cache", "o/n", std::nullopt, "/models", true, "http://hub", "dev");
    EXPECT_EQ(config.downloadBase, "/cache");
    EXPECT_EQ(config.modelRepo, "o/n");
    EXPECT_EQ(config.modelToken, std::nullopt);
    EXPECT_EQ(config.modelFolder, "/models");
    EXPECT_TRUE(config.useBackgroundSession);
    EXPECT_EQ(config.endpoint, "http://hub");
    EXPECT_EQ(config.revision, "dev");
    const auto error = bexmor::ModelDownloaderError::modelUnavailable("No model found for X");
    EXPECT_STREQ(error.what(), "No model found for X");
    EXPECT_EQ(error.kind(), bexmor::ModelDownloaderError::Kind::modelUnavailable);
}

}  // namespace
