#include <gtest/gtest.h>

#include "BexmorCore/External/Hub/NetworkMonitor.h"
#include "Vocarion/Core/DarivirTokenizer.h"
#include "Vocarion/Utilities/DarivirError.h"
#include "support/FakeHub.h"
#include "support/TempDir.h"
#include "TestPaths.h"

using namespace vocarion;
namespace fs = std::filesystem;

namespace {

const std::string kRepo = "bexmorinc/vocarion-coreml", kVariant = "openai_darivir-tiny";

struct TokenizerDownload : ::testing::Test {
    void SetUp() override { bexmor::NetworkMonitor::shared().setConnectivityProbe([] { return true; }); }
    void TearDown() override { bexmor::NetworkMonitor::shared().setConnectivityProbe({}); }
    testsupport::FakeHub hub;
    testsupport::TempDir dir;
};

}  // namespace

TEST_F(TokenizerDownload, FetchesOnlyTheVariantsTokenizerFilesIntoTheCache) {
    const std::string json = testsupport::readFile(fs::path(testsupport::kFixturesDir) / "tokenizers" / "handwritten.json");
    for (const auto& [name, content] : std::map<std::string, std::string>{{kVariant + "/tokenizer.json", json},
                                                                         {kVariant + "/tokenizer_config.json", "{}"},
                                                                         {kVariant + "/AudioEncoder.mlmodelc/weights.safetensors", "w"},
                                                                         {"openai_darivir-base/tokenizer.json", "{}"}})
        hub.setFile(kRepo, name, content);
    fs::create_directories(dir / "variant-without-tokenizer");
    DarivirTokenizer::LoadOptions options{.modelFolder = dir / "variant-without-tokenizer", .tokenizerFolder = dir / "Models",
                                          .variantFolder = kVariant, .endpoint = hub.endpoint()};
    EXPECT_EQ(DarivirTokenizer::load(options)->specialTokens().specialTokenBegin, 280);
    const fs::path cached = dir / "Models" / "models" / kRepo / kVariant;
    EXPECT_EQ(testsupport::readFile(cached / "tokenizer.json"), json);
    EXPECT_TRUE(fs::exists(cached / "tokenizer_config.json"));
    EXPECT_FALSE(fs::exists(cached / "AudioEncoder.mlmodelc") || fs::exists(cached.parent_path() / "openai_darivir-base"));
    EXPECT_EQ(hub.fileDownloads(kRepo).size(), 2u);

    // The next load finds the cache and asks the hub nothing.
    options.download = false;
    options.endpoint = "http://127.0.0.1:9";
    EXPECT_EQ(DarivirTokenizer::localTokenizerFile(options), cached / "tokenizer.json");
    EXPECT_NE(DarivirTokenizer::load(options), nullptr);
}

TEST_F(TokenizerDownload, AMissingUnreachableOrBrokenDownloadIsAClearError) {
    hub.setFile(kRepo, "other/tokenizer.json", "{}");
    testsupport::FakeHub broken;
    broken.setFile(kRepo, kVariant + "/tokenizer.json", "{\"model\": 1}");
    const std::pair<std::string, std::string> cases[] = {
        {hub.endpoint(), "has none for " + kVariant},
        {"http://127.0.0.1:9", "downloading it from " + kRepo + " failed: "},
        {broken.endpoint(), "tokenizer.json: "}};
    for (const auto& [endpoint, words] : cases) {
        testsupport::TempDir cache;
        try {
            DarivirTokenizer::load({.tokenizerFolder = cache / "Models", .variantFolder = kVariant, .endpoint = endpoint});
            ADD_FAILURE() << "no error from " << endpoint;
        } catch (const DarivirError& error) {
            EXPECT_EQ(error.kind(), DarivirError::Kind::tokenizerUnavailable);
            EXPECT_NE(std::string(error.what()).find(words), std::string::npos) << error.what();
        }
    }
}
