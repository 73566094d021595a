#include <algorithm>
#include <filesystem>
#include <fstream>

#include "BexmorCore/External/Hub/HubErrors.h"
#include "ManagerFixture.h"

namespace managertest {
namespace {

namespace fs = std::filesystem;
using bexmor::ModelDownloaderError;
using bexmor::ModelState;

class ModelDownloaderTest : public ManagerFixture {
protected:
    std::vector<ModelState> states;
    bexmor::ModelDownloader::ModelStateCallback record() {
        return [this](ModelState state) { states.push_back(state); };
    }
    fs::path resolveEncoder(const bexmor::ModelDownloader& d, bool download) {
        return d.resolveModel("AudioEncoder", tinyModelInfo(), std::nullopt, std::nullopt, download, record());
    }
};

template <class Call>
std::string unavailableMessage(Call call) {
    try {
        call();
    } catch (const ModelDownloaderError& error) {
        EXPECT_EQ(error.kind(), ModelDownloaderError::Kind::modelUnavailable);
        return error.what();
    }
    ADD_FAILURE() << "no ModelDownloaderError";
    return "";
}

TEST_F(ModelDownloaderTest, ModelFolderHitAsksNoOneAndReportsNoState) {
    const fs::path folder = temp.path() / "models";
    fs::create_directories(folder / kVariantPath);
    fs::copy(tinyModel(), folder / kVariantPath, fs::copy_options::recursive);
    const auto d = downloader(folder.string());

    EXPECT_EQ(resolveEncoder(*d, true), folder / kVariantPath / "AudioEncoder.mlmodelc");
    EXPECT_TRUE(states.empty());
    EXPECT_EQ(hub.count("GET") + hub.count("HEAD"), 0);
    EXPECT_FALSE(fs::exists(cacheBase()));
    EXPECT_TRUE(logged("[ModelDownloader] Found AudioEncoder in model folder"));

    // A folder given by the caller wins over the configured one; an empty one falls through.
    const fs::path empty = temp.path() / "empty";
    fs::create_directories(empty);
    EXPECT_EQ(unavailableMessage([&] {
                  d->resolveModel("AudioEncoder", tinyModelInfo(), empty, std::nullopt, false, record());
              }),
              "No model found for AudioEncoder (download disabled)");
}

TEST_F(ModelDownloaderTest, DownloadsOnceThenFindsTheCache) {
    const auto d = downloader();
    const fs::path encoder = resolveEncoder(*d, true);
    EXPECT_EQ(encoder, repoFolder() / kVariantPath / "AudioEncoder.mlmodelc");
    EXPECT_EQ(states, (std::vector{ModelState::downloading, ModelState::downloaded}));
    for (const auto& entry : fs::recursive_directory_iterator(tinyModel())) {
        if (!entry.is_regular_file()) continue;
        const auto relative = entry.path().lexically_relative(tinyModel());
        EXPECT_EQ(readFile(repoFolder() / kVariantPath / relative), readFile(entry.path())) << relative;
    }
    EXPECT_TRUE(logged("[ModelDownloader] Downloaded AudioEncoder"));
    EXPECT_TRUE(logged("[ModelDownloader] Downloading model darivir/v1/tiny/* with offline mode: false"));

    hub.clearRequests();
    states.clear();
    EXPECT_EQ(d->resolveModelPath("TextDecoder", tinyModelInfo(), std::nullopt, std::nullopt, true, record()),
              (repoFolder() / kVariantPath / "TextDecoder.mlmodelc").string());
    EXPECT_EQ(states, std::vector{ModelState::downloaded});
    EXPECT_EQ(hub.count("GET") + hub.count("HEAD"), 0);
    EXPECT_TRUE(logged("[ModelDownloader] Found existing TextDecoder in cache"));
}

// The cache path needs no network: with the interfaces down and the hub gone, a valid
// cache still resolves (asking the hub first would report it missing).
TEST_F(ModelDownloaderTest, ValidCacheResolvesWithTheNetworkGone) {
    const auto d = downloader();
    resolveEncoder(*d, true);
    loseNetwork();
    states.clear();

    EXPECT_EQ(resolveEncoder(*d, false), repoFolder() / kVariantPath / "AudioEncoder.mlmodelc");
    EXPECT_EQ(states, std::vector{ModelState::downloaded});
    EXPECT_EQ(d->downloadModel(tinyModelInfo(), std::nullopt, true), repoFolder());
    EXPECT_TRUE(logged("[ModelDownloader] Searching for models matching \"darivir/v1/tiny/*\" in"));
    EXPECT_TRUE(logged("[ModelDownloader] Downloading model darivir/v1/tiny/* with offline mode: true"));
    EXPECT_EQ(d->resolveRepo({"darivir/v1/tiny/*"}, std::nullopt, false), repoFolder());
    EXPECT_TRUE(logged("[ModelDownloader] Found valid local cache at " + repoFolder().string()));
}

TEST_F(ModelDownloaderTest, NothingLocalAndNoDownloadIsUnavailable) {
    const auto d = downloader();
    loseNetwork();
    EXPECT_EQ(unavailableMessage([&] { resolveEncoder(*d, false); }), "No model found for AudioEncoder (download disabled)");
    EXPECT_TRUE(states.empty());
    EXPECT_EQ(unavailableMessage([&] { d->downloadModel(tinyModelInfo(), std::nullopt, true); }),
              "No models found matching \"darivir/v1/tiny/*\" in korvu/darivir-models");
    // Another variant in the cache does not count for this one.
    fs::create_directories(repoFolder() / "darivir/v1/base");
    std::ofstream(repoFolder() / "darivir/v1/base/config.json") << "{}";
    EXPECT_EQ(unavailableMessage([&] { d->downloadModel(tinyModelInfo(), std::nullopt, true); }),
              "No models found matching \"darivir/v1/tiny/*\" in korvu/darivir-models");
}

TEST_F(ModelDownloaderTest, DamagedCacheIsNotUsed) {
    const auto d = downloader();
    resolveEncoder(*d, true);
    std::ofstream(repoFolder() / kVariantPath / "AudioEncoder.mlmodelc/weights.safetensors", std::ios::app) << "x";
    loseNetwork();
    states.clear();
    EXPECT_EQ(unavailableMessage([&] { resolveEncoder(*d, false); }), "No model found for AudioEncoder (download disabled)");
    EXPECT_TRUE(states.empty());
    EXPECT_EQ(unavailableMessage([&] { d->resolveRepo({"darivir/v1/tiny/*"}, std::nullopt, false); }),
              "No valid local models found for repo 'korvu/darivir-models' and download is disabled.");
    EXPECT_TRUE(logged("[ModelDownloader] Local cache for 'korvu/darivir-models' didn't validate (File integrity "
                       "check failed: Hash mismatch for weights.safetensors); re-resolving."));
}

TEST_F(ModelDownloaderTest, DownloadWithoutTheNamedModelFailsAfterReportingDownloading) {
    const auto d = downloader();
    EXPECT_EQ(unavailableMessage([&] {
                  d->resolveModel("Missing", tinyModelInfo(), std::nullopt, std::nullopt, true, record());
              }),
              "No model found for Missing");
    EXPECT_EQ(states, std::vector{ModelState::downloading});
    EXPECT_TRUE(fs::exists(repoFolder() / kVariantPath / "AudioEncoder.mlmodelc/model.json"));
}

TEST_F(ModelDownloaderTest, HubErrorsOfTheDownloadPassUnchanged) {
    const auto d = downloader();
    hub.failListings(500, 1);
    try {
        resolveEncoder(*d, true);
        FAIL() << "no error";
    } catch (const bexmor::HubClientError& error) {
        EXPECT_EQ(error.kind(), bexmor::HubClientError::Case::httpStatusCode);
    }
    EXPECT_EQ(states, std::vector{ModelState::downloading});
}

TEST_F(ModelDownloaderTest, RepoResolvesFromTheCacheOnlyWhenEveryPatternHasALocalFolder) {
    const auto d = downloader();
    const std::string pattern = "darivir/v1/tiny/*";

    // Nothing local: refused without download, downloaded with one, progress reported.
    EXPECT_EQ(unavailableMessage([&] { d->resolveRepo({pattern}, std::nullopt, false); }),
              "No valid local models found for repo 'korvu/darivir-models' and download is disabled.");
    EXPECT_EQ(hub.count("GET"), 0);
    std::vector<double> fractions;
    EXPECT_EQ(d->resolveRepo({pattern}, std::nullopt, true,
                             [&](const bexmor::Progress& progress) { fractions.push_back(progress.fractionCompleted()); }),
              repoFolder());
    ASSERT_FALSE(fractions.empty());
    EXPECT_DOUBLE_EQ(fractions.back(), 1.0);
    EXPECT_TRUE(logged("[ModelDownloader] Downloading 1 model(s) from korvu/darivir-models..."));
    EXPECT_TRUE(logged("[ModelDownloader] Download complete: " + repoFolder().string()));

    // Cached: no request at all.
    hub.clearRequests();
    EXPECT_EQ(d->resolveRepo({pattern}, std::nullopt, false), repoFolder());
    EXPECT_EQ(d->resolveRepo({}, std::nullopt, false), repoFolder());
    EXPECT_EQ(hub.count("GET") + hub.count("HEAD"), 0);

    // A pattern that starts with a wildcard never counts as local.
    EXPECT_EQ(unavailableMessage([&] { d->resolveRepo({"*/v1/tiny/*"}, std::nullopt, false); }),
              "No valid local models found for repo 'korvu/darivir-models' and download is disabled.");
    EXPECT_EQ(d->resolveRepo({"*/v1/tiny/*"}, std::nullopt, true), repoFolder());
    EXPECT_EQ(hub.count("GET", "/api/models/"), 1);

    // One local pattern is not enough when another has no folder.
    EXPECT_EQ(unavailableMessage([&] { d->resolveRepo({pattern, "openai_darivir-base/*"}, std::nullopt, false); }),
              "No valid local models found for repo 'korvu/darivir-models' and download is disabled.");
}

TEST_F(ModelDownloaderTest, PatternFolderMustExistAndHoldSomething) {
    const fs::path repo = temp.path() / "repo";
    fs::create_directories(repo / "m/empty");
    fs::create_directories(repo / "full/x");
    std::ofstream(repo / "afile") << "x";
    using bexmor::ModelDownloader;
    EXPECT_TRUE(ModelDownloader::patternsExistLocally("full/*/v/*", repo));
    EXPECT_TRUE(ModelDownloader::patternsExistLocally("/full//*", repo));
    EXPECT_TRUE(ModelDownloader::patternsExistLocally("m/*", repo));
    EXPECT_FALSE(ModelDownloader::patternsExistLocally("m/empty/*", repo));
    EXPECT_FALSE(ModelDownloader::patternsExistLocally("missing/*", repo));
    EXPECT_FALSE(ModelDownloader::patternsExistLocally("afile/*", repo));
    EXPECT_FALSE(ModelDownloader::patternsExistLocally("*", repo));
    EXPECT_FALSE(ModelDownloader::patternsExistLocally("*/x", repo));
    EXPECT_FALSE(ModelDownloader::patternsExistLocally("", repo));

    // An empty literal folder in the cache sends resolveRepo to the hub.
    fs::create_directories(repoFolder() / "darivir");
    const auto d = downloader();
    EXPECT_EQ(unavailableMessage([&] { d->resolveRepo({"darivir/*"}, std::nullopt, false); }),
              "No valid local models found for repo 'korvu/darivir-models' and download is disabled.");
}

TEST_F(ModelDownloaderTest, ListsTheHubAndNamesTheCacheFolder) {
    const auto d = downloader();
    auto names = d->fetchFilenames({"darivir/*/model.json"}, std::nullopt);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"darivir/v1/tiny/AudioEncoder.mlmodelc/model.json",
                                               "darivir/v1/tiny/MelSpectrogram.mlmodelc/model.json",
                                               "darivir/v1/tiny/TextDecoder.mlmodelc/model.json"}));
    EXPECT_EQ(d->localRepoLocation(std::nullopt), repoFolder());
    EXPECT_EQ(d->localRepoLocation(temp.path() / "elsewhere"), temp.path() / "elsewhere/models" / kRepo);
    EXPECT_FALSE(fs::exists(repoFolder()));

    // The convenience constructor leaves base and folder to the hub client's defaults.
    const bexmor::ModelDownloader plain(hub.endpoint(), kRepo, std::string(), "main", false);
    EXPECT_EQ(plain.localRepoLocation(temp.path() / "b"), temp.path() / "b/models" / kRepo);
}

}  // namespace
}  // namespace managertest
