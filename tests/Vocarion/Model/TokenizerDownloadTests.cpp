#include <gtest/gtest.h>

#include <cstdlib>

#include "BexmorCore/External/Hub/NetworkMonitor.h"
#include "Vocarion/Core/Constants.h"
#include "Vocarion/Core/DarivirTokenizer.h"
#include "Vocarion/Utilities/DarivirError.h"
#include "support/FakeHub.h"
#include "support/TempDir.h"
#include "TestPaths.h"

using namespace vocarion;
namespace fs = std::filesystem;

TEST(TokenizerDownload, FetchesOnlyTheVariantsTokenizerFilesIntoTheCacheOrFailsClearly) {
    bexmor::NetworkMonitor::shared().setConnectivityProbe([] { return true; });
    const std::string repo = "bexmorinc/vocarion-coreml", variant = "openai_darivir-tiny";
    const std::string json = testsupport::readFile(fs::path(testsupport::kFixturesDir) / "tokenizers" / "handwritten.json");
    testsupport::FakeHub hub;
    for (const auto& [name, content] : std::map<std::string, std::string>{{variant + "/tokenizer.json", json},
                                                                         {variant + "/tokenizer_config.json", "{}"},
                                                                         {variant + "/AudioEncoder.mlmodelc/weights.safetensors", "w"},
                                                                         {"openai_darivir-base/tokenizer.json", "{}"},
                                                                         {"broken/tokenizer.json", "{\"model\": 1}"}})
        hub.setFile(repo, name, content);
    testsupport::TempDir dir;
    fs::create_directories(dir / "variant-without-tokenizer");
    DarivirTokenizer::LoadOptions options{.modelFolder = dir / "variant-without-tokenizer", .tokenizerFolder = dir / "Models",
                                          .variantFolder = variant, .endpoint = hub.endpoint()};
    EXPECT_EQ(DarivirTokenizer::load(options)->specialTokens().specialTokenBegin, 280);
    const fs::path cached = dir / "Models" / "models" / repo / variant;
    EXPECT_EQ(testsupport::readFile(cached / "tokenizer.json"), json);
    EXPECT_TRUE(fs::exists(cached / "tokenizer_config.json"));
    EXPECT_FALSE(fs::exists(cached / "AudioEncoder.mlmodelc") || fs::exists(cached.parent_path() / "openai_darivir-base"));
    EXPECT_EQ(hub.fileDownloads(repo).size(), 2u);
    // The next load finds the cache and asks the hub nothing.
    options.download = false;
    options.endpoint = "http://127.0.0.1:9";
    EXPECT_EQ(DarivirTokenizer::localTokenizerFile(options), cached / "tokenizer.json");
    EXPECT_NE(DarivirTokenizer::load(options), nullptr);

    const std::tuple<std::string, std::string, std::string> failures[] = {
        {hub.endpoint(), "openai_darivir-huge", "has none for openai_darivir-huge"},
        {"http://127.0.0.1:9", variant, "downloading it from " + repo + " failed: "},
        {hub.endpoint(), "broken", "tokenizer.json: "}};
    for (const auto& [endpoint, folder, words] : failures) {
        try {
            DarivirTokenizer::load({.tokenizerFolder = dir / "empty", .variantFolder = folder, .endpoint = endpoint});
            ADD_FAILURE() << "no error for " << folder << " from " << endpoint;
        } catch (const DarivirError& error) {
            EXPECT_EQ(error.kind(), DarivirError::Kind::tokenizerUnavailable);
            EXPECT_NE(std::string(error.what()).find(words), std::string::npos) << error.what();
        }
    }
    bexmor::NetworkMonitor::shared().setConnectivityProbe({});
}

TEST(Constants, TheDefaultEndpointFollowsTheHubVariable) {
    const char* saved = std::getenv("HF_ENDPOINT");
    const std::string savedValue = saved ? saved : "";
    unsetenv("HF_ENDPOINT");
    EXPECT_EQ(Constants::defaultRemoteEndpoint(), Constants::publishedModelsEndpoint);
    setenv("HF_ENDPOINT", "", 1);  // set, though empty: the hub client follows it too
    EXPECT_EQ(Constants::defaultRemoteEndpoint(), "");
    setenv("HF_ENDPOINT", "http://127.0.0.1:8123", 1);
    EXPECT_EQ(Constants::defaultRemoteEndpoint(), "http://127.0.0.1:8123");
    saved ? setenv("HF_ENDPOINT", savedValue.c_str(), 1) : unsetenv("HF_ENDPOINT");
}
