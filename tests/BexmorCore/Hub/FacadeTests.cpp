#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "BexmorCore/HubWrapper.h"
#include "BexmorCore/External/Hub/NetworkMonitor.h"
#include "FakeHub.h"
#include "support/TempDir.h"

namespace {

using bexmor::HubApiWrapper;
using hubtest::FakeFile;
using hubtest::FakeHub;

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

class FacadeTest : public ::testing::Test {
protected:
    void SetUp() override {
        bexmor::NetworkMonitor::shared().setConnectivityProbe([] { return true; });
    }
    void TearDown() override { bexmor::NetworkMonitor::shared().setConnectivityProbe({}); }
};

TEST_F(FacadeTest, DownloadsARepositoryOfThreeFilesIntoTheCacheLayout) {
    FakeHub hub;
    const std::string big = hubtest::makeContent(50 * 1024 * 1024, 1);
    const std::string config = R"({"model_type": "darivir"})";
    const std::string tokenizer = hubtest::makeContent(3000, 2);
    hub.addFile("bexmorinc/vocarion-coreml", "config.json", FakeFile{.content = config});
    hub.addFile("bexmorinc/vocarion-coreml", "variant/AudioEncoder.bin", FakeFile{.content = big});
    // A git blob id as etag (40 hex digits): no content check, but a valid record.
    hub.addFile("bexmorinc/vocarion-coreml", "variant/tokenizer.bin",
                FakeFile{.content = tokenizer, .etag = std::string(40, 'b'), .etagHeader = "ETag", .sizeHeader = "Content-Length"});

    testsupport::TempDir base;
    HubApiWrapper facade(base.path(), std::string("secret"), hub.endpoint(), false);
    const HubApiWrapper::Repo repo{"bexmorinc/vocarion-coreml", HubApiWrapper::RepoType::models};

    std::vector<double> fractions;
    const auto folder = facade.snapshot(repo, "main", {}, [&](const bexmor::Progress& progress) {
        fractions.push_back(progress.fractionCompleted());
    });

    EXPECT_EQ(folder, base.path() / "models" / "bexmorinc" / "vocarion-coreml");
    EXPECT_EQ(folder, facade.localRepoLocation(repo));
    EXPECT_EQ(readFile(folder / "config.json"), config);
    EXPECT_TRUE(readFile(folder / "variant/AudioEncoder.bin") == big);
    EXPECT_EQ(readFile(folder / "variant/tokenizer.bin"), tokenizer);

    const auto metadata = folder / ".cache" / "huggingface" / "download";
    const std::string record = readFile(metadata / "variant" / "AudioEncoder.bin.metadata");
    EXPECT_TRUE(record.starts_with(std::string(40, 'c') + "\n" + hubtest::sha256(big) + "\n")) << record;
    EXPECT_TRUE(readFile(metadata / "variant" / "tokenizer.bin.metadata").starts_with(std::string(40, 'c') + "\n" + std::string(40, 'b') + "\n"));
    EXPECT_TRUE(std::filesystem::exists(metadata / "config.json.metadata"));
    // Nothing partial is left behind.
    for (const auto& entry : std::filesystem::recursive_directory_iterator(metadata)) {
        EXPECT_FALSE(entry.path().string().ends_with(".incomplete")) << entry.path();
    }

    // Progress: the 50 MB file reports per 10 MiB; the overall fraction only grows and ends at 1.
    ASSERT_FALSE(fractions.empty());
    EXPECT_DOUBLE_EQ(fractions.back(), 1.0);
    for (size_t i = 1; i < fractions.size(); ++i) EXPECT_GE(fractions[i], fractions[i - 1]);
    EXPECT_GE(fractions.size(), 7u);

    // Every file was sent the token on the hub.
    for (const auto& request : hub.requests()) EXPECT_EQ(request.header("authorization"), "Bearer secret") << request.target;

    // A second snapshot finds everything current: HEAD requests only.
    hub.clearRequests();
    facade.snapshot(repo);
    EXPECT_EQ(hub.count("GET", "/resolve/"), 0);
    EXPECT_EQ(hub.count("HEAD", "/resolve/"), 3);
}

TEST_F(FacadeTest, ListsFilenamesThroughTheClient) {
    FakeHub hub;
    hub.addFile("owner/name", "a.json", FakeFile{.content = "{}"});
    hub.addFile("owner/name", "b.bin", FakeFile{.content = "x"});
    testsupport::TempDir base;
    HubApiWrapper facade(base.path(), std::string(), hub.endpoint(), false);
    EXPECT_EQ(facade.getFilenames({"owner/name", HubApiWrapper::RepoType::models}, "main", {"*.json"}),
              std::vector<std::string>{"a.json"});
    EXPECT_FALSE(facade.impl.useOfflineMode.has_value());
}

TEST_F(FacadeTest, LocalRepoLocationTouchesNothing) {
    testsupport::TempDir base;
    HubApiWrapper facade(base.path(), std::nullopt, std::string("http://127.0.0.1:9"), false);
    EXPECT_EQ(facade.localRepoLocation({"bexmorinc/vocarion-coreml", HubApiWrapper::RepoType::models}),
              base.path() / "models/bexmorinc/vocarion-coreml");
    EXPECT_EQ(facade.localRepoLocation({"o/n", HubApiWrapper::RepoType::datasets}), base.path() / "datasets/o/n");
    EXPECT_EQ(facade.localRepoLocation({"o/n", HubApiWrapper::RepoType::spaces}), base.path() / "spaces/o/n");
    EXPECT_TRUE(std::filesystem::is_empty(base.path()));
}

TEST(RepoCoding, EncodesDecodesComparesAndHashes) {
    using Repo = HubApiWrapper::Repo;
    const Repo repo{"bexmorinc/vocarion-coreml", HubApiWrapper::RepoType::models};
    EXPECT_EQ(nlohmann::json(repo).dump(), R"({"id":"bexmorinc/vocarion-coreml","type":"models"})");
    EXPECT_EQ(nlohmann::json::parse(R"({"id":"a/b","type":"spaces"})").get<Repo>(), (Repo{"a/b", HubApiWrapper::RepoType::spaces}));
    for (const char* bad : {R"({"id":"a/b","type":"model"})", R"({"id":"a/b","type":"Models"})", R"({"id":"a/b"})",
                            R"({"type":"models"})", R"({"id":5,"type":"models"})"}) {
        EXPECT_THROW(nlohmann::json::parse(bad).get<Repo>(), nlohmann::json::exception) << bad;
    }
    const Repo asDataset{"bexmorinc/vocarion-coreml", HubApiWrapper::RepoType::datasets};
    EXPECT_NE(repo, asDataset);
    EXPECT_EQ(std::hash<Repo>{}(repo), std::hash<Repo>{}(Repo{repo}));
}

}  // namespace
