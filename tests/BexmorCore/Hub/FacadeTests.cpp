#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "BexmorCore/HubWrapper.h"
#include "HubTestFixture.h"

namespace {

using bexmor::HubApiWrapper;
using hubtest::FakeFile;
using hubtest::readFile;

// The facade leaves offline mode to the monitor: the tests say the network is up.
class FacadeTest : public hubtest::HubTest {
protected:
    const hubtest::NetworkProbe connected{true};
};

TEST_F(FacadeTest, DownloadsARepositoryOfThreeFilesIntoTheCacheLayout) {
    const std::string big = hubtest::makeContent(50 * 1024 * 1024, 1);
    const std::string config = R"({"model_type": "darivir"})";
    const std::string tokenizer = hubtest::makeContent(3000, 2);
    fake.addFile("bexmorinc/vocarion-coreml", "config.json", FakeFile{.content = config});
    fake.addFile("bexmorinc/vocarion-coreml", "variant/AudioEncoder.bin", FakeFile{.content = big});
    // A git blob id as etag (40 hex digits): no content check, but a valid record.
    fake.addFile("bexmorinc/vocarion-coreml", "variant/tokenizer.bin",
                 FakeFile{.content = tokenizer, .etag = std::string(40, 'b'), .etagHeader = "ETag", .sizeHeader = "Content-Length"});

    HubApiWrapper facade(base.path(), std::string("secret"), fake.endpoint(), false);
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
    for (const auto& request : fake.requests()) EXPECT_EQ(request.header("authorization"), "Bearer secret") << request.target;

    // A second snapshot finds everything current: HEAD requests only.
    fake.clearRequests();
    facade.snapshot(repo);
    EXPECT_EQ(fake.count("GET", "/resolve/"), 0);
    EXPECT_EQ(fake.count("HEAD", "/resolve/"), 3);
}

TEST_F(FacadeTest, ListsFilenamesThroughTheClient) {
    fake.addFile("owner/name", "a.json", FakeFile{.content = "{}"});
    fake.addFile("owner/name", "b.bin", FakeFile{.content = "x"});
    HubApiWrapper facade(base.path(), std::string(), fake.endpoint(), false);
    EXPECT_EQ(facade.getFilenames({"owner/name", HubApiWrapper::RepoType::models}, "main", {"*.json"}),
              std::vector<std::string>{"a.json"});
    EXPECT_FALSE(facade.impl.useOfflineMode.has_value());
}

TEST_F(FacadeTest, LocalRepoLocationTouchesNothing) {
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
