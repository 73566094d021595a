#include <fstream>

#include "BexmorCore/External/Hub/HubErrors.h"
#include "ManagerFixture.h"

namespace managertest {
namespace {

using bexmor::ModelDownloader;
using bexmor::ModelDownloaderError;
using bexmor::ModelInfo;
using bexmor::ModelState;
using platform::ml::ComputeUnits;

const std::string kPattern = "darivir/v1/tiny/*";
const std::string kNoLocalModels = "No valid local models found for repo 'korvu/darivir-models' and download is disabled.";
const std::string kDisabled = "No model found for AudioEncoder (download disabled)";

const auto unavailable = [](auto&& call) { return messageOf<ModelDownloaderError>(call); };

class ModelDownloaderTest : public ManagerFixture {
protected:
    fs::path resolveEncoder(const ModelDownloader& d, bool download, std::optional<fs::path> folder = std::nullopt,
                            const std::string& name = "AudioEncoder") {
        return d.resolveModel(name, tinyModelInfo(), folder, std::nullopt, download, [this](ModelState state) { states.push_back(state); });
    }
    fs::path encoder() const { return repoFolder() / kVariantPath / "AudioEncoder.mlmodelc"; }
    std::vector<ModelState> states;
};

TEST(ModelInfo, PatternsUrlsAndBaseFolders) {
    for (const auto& [version, variant, pattern, url] : {std::tuple<const char*, const char*, const char*, const char*>{nullptr, nullptr, "m/*/*/*", "/b/m"},
                                                         {nullptr, "v", "m/*/v/*", "/b/m/v"}, {"1", nullptr, "m/1/*/*", "/b/m/1"}}) {
        const auto optional = [](const char* text) { return text ? std::optional<std::string>(text) : std::nullopt; };
        const ModelInfo info(optional(version), optional(variant), "m", ComputeUnits::all);
        EXPECT_EQ(info.downloadPattern(), pattern);
        EXPECT_EQ(info.modelURL("/b"), fs::path(url));
    }
    // The parent of the nearest folder of exactly that name.
    const ModelInfo named(std::nullopt, std::nullopt, "name", ComputeUnits::all);
    const std::pair<const char*, std::optional<fs::path>> bases[] = {
        {"/a/name/", "/a"}, {"/name", "/"}, {"/name/b/name/c", "/name/b"}, {"/", std::nullopt}, {"/a/names/Name", std::nullopt}};
    for (const auto& [path, base] : bases) EXPECT_EQ(named.findBaseFolder(path), base) << path;
}

TEST_F(ModelDownloaderTest, AModelFolderHitAsksNoOne) {
    const fs::path folder = temp / "models";
    fs::create_directories(folder / kVariantPath);
    fs::copy(tinyModel(), folder / kVariantPath, fs::copy_options::recursive);
    const auto d = downloader(folder.string());
    EXPECT_EQ(resolveEncoder(*d, true), folder / kVariantPath / "AudioEncoder.mlmodelc");
    EXPECT_TRUE(states.empty());
    EXPECT_TRUE(hub.requests().empty());
    EXPECT_FALSE(fs::exists(cacheBase()));
    // A folder given by the caller wins over the configured one.
    fs::create_directories(temp / "empty");
    EXPECT_EQ(unavailable([&] { resolveEncoder(*d, false, temp / "empty"); }), kDisabled);
}

TEST_F(ModelDownloaderTest, DownloadsOnceThenResolvesFromTheCacheWithTheNetworkGone) {
    const auto d = downloader();
    EXPECT_EQ(unavailable([&] { d->resolveRepo({kPattern}, std::nullopt, false); }), kNoLocalModels);
    EXPECT_TRUE(hub.requests().empty());
    EXPECT_EQ(resolveEncoder(*d, true), encoder());
    EXPECT_EQ(states, (std::vector{ModelState::downloading, ModelState::downloaded}));
    for (const auto& entry : fs::recursive_directory_iterator(tinyModel())) {
        if (entry.is_regular_file()) {
            EXPECT_TRUE(readFile(repoFolder() / kVariantPath / entry.path().lexically_relative(tinyModel())) == readFile(entry.path()));
        }
    }
    // The cache needs no network: asking the hub first would report it missing.
    loseNetwork();
    states.clear();
    EXPECT_EQ(d->resolveModelPath("TextDecoder", tinyModelInfo(), std::nullopt, std::nullopt, false,
                                  [this](ModelState state) { states.push_back(state); }),
              (repoFolder() / kVariantPath / "TextDecoder.mlmodelc").string());
    EXPECT_EQ(states, std::vector{ModelState::downloaded});
    EXPECT_EQ(d->downloadModel(tinyModelInfo(), std::nullopt, true), repoFolder());
    EXPECT_EQ(d->resolveRepo({kPattern}, std::nullopt, false), repoFolder());
    // A pattern that starts with a wildcard, or a second one without a folder, never counts as local.
    EXPECT_EQ(unavailable([&] { d->resolveRepo({"*/v1/tiny/*"}, std::nullopt, false); }), kNoLocalModels);
    EXPECT_EQ(unavailable([&] { d->resolveRepo({kPattern, "darivir-base/*"}, std::nullopt, false); }), kNoLocalModels);
}

TEST_F(ModelDownloaderTest, NothingOrADamagedCacheLocallyAndNoDownloadIsUnavailable) {
    const auto d = downloader();
    EXPECT_EQ(unavailable([&] { resolveEncoder(*d, false); }), kDisabled);
    EXPECT_TRUE(hub.requests().empty());
    resolveEncoder(*d, true);
    std::ofstream(encoder() / "weights.safetensors", std::ios::app) << "x";
    loseNetwork();
    states.clear();
    EXPECT_EQ(unavailable([&] { resolveEncoder(*d, false); }), kDisabled);
    EXPECT_EQ(unavailable([&] { d->resolveRepo({kPattern}, std::nullopt, false); }), kNoLocalModels);
    EXPECT_TRUE(states.empty());
    EXPECT_TRUE(logged("[ModelDownloader] Local cache for 'korvu/darivir-models' didn't validate (File integrity "
                       "check failed: Hash mismatch for weights.safetensors); re-resolving."));
    // Another variant in the cache does not count for this one.
    fs::remove_all(repoFolder() / kVariantPath);
    fs::create_directories(repoFolder() / "darivir/v1/base");
    std::ofstream(repoFolder() / "darivir/v1/base/config.json") << "{}";
    EXPECT_EQ(unavailable([&] { d->downloadModel(tinyModelInfo(), std::nullopt, true); }),
              "No models found matching \"darivir/v1/tiny/*\" in korvu/darivir-models");
}

TEST_F(ModelDownloaderTest, AHubErrorOrAMissingModelFailsAfterReportingDownloading) {
    const auto d = downloader();
    hub.failListings(500, 1);
    EXPECT_EQ(messageOf<bexmor::HubClientError>([&] { resolveEncoder(*d, true); }), "HTTP error with status code: 500");
    EXPECT_EQ(unavailable([&] { resolveEncoder(*d, true, std::nullopt, "Missing"); }), "No model found for Missing");
    EXPECT_EQ(states, (std::vector{ModelState::downloading, ModelState::downloading}));
    EXPECT_TRUE(fs::exists(encoder() / "model.json"));
}

TEST(ModelDownloaderPatterns, APatternFolderMustExistAndHoldSomething) {
    testsupport::TempDir repo;
    fs::create_directories(repo / "m/empty");
    fs::create_directories(repo / "full/x");
    std::ofstream(repo / "afile") << "x";
    const std::pair<const char*, bool> cases[] = {{"full/*/v/*", true}, {"/full//*", true}, {"m/*", true},  {"m/empty/*", false},
                                                  {"missing/*", false}, {"afile/*", false}, {"*", false},   {"*/x", false},
                                                  {"", false}};
    for (const auto& [pattern, local] : cases) EXPECT_EQ(ModelDownloader::patternsExistLocally(pattern, repo.path()), local) << pattern;
}

}  // namespace
}  // namespace managertest
