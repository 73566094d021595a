#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "BexmorCore/External/Hub/NetworkMonitor.h"
#include "Vocarion/Core/DarivirTokenizer.h"
#include "Vocarion/Utilities/DarivirError.h"
#include "support/TempDir.h"
#include "support/FakeHub.h"
#include "TestPaths.h"

using namespace vocarion;
namespace fs = std::filesystem;
using testsupport::readFile;

namespace {

// The hub repository the tokenizer downloads come from, holding these files.
void serve(testsupport::FakeHub& hub, const std::map<std::string, std::string>& files) {
    for (const auto& [name, content] : files) hub.setFile("bexmorinc/vocarion-coreml", name, content);
}

class TokenizerDownload : public ::testing::Test {
protected:
    void SetUp() override { bexmor::NetworkMonitor::shared().setConnectivityProbe([] { return true; }); }
    void TearDown() override { bexmor::NetworkMonitor::shared().setConnectivityProbe({}); }
};

const std::string kVariant = "openai_darivir-tiny";

TEST_F(TokenizerDownload, FetchesOnlyTheVariantsTokenizerFilesIntoTheCache) {
    const std::string tokenizerJson = readFile(fs::path(testsupport::kFixturesDir) / "tokenizers" / "handwritten.json");
    testsupport::FakeHub hub;
    serve(hub, {{kVariant + "/tokenizer.json", tokenizerJson},
                {kVariant + "/tokenizer_config.json", "{}"},
                {kVariant + "/AudioEncoder.mlmodelc/weights.safetensors", std::string(1000, 'w')},
                {"openai_darivir-base/tokenizer.json", "{}"}});
    testsupport::TempDir dir;
    fs::create_directories(dir / "variant-without-tokenizer");
    DarivirTokenizer::LoadOptions options{.modelFolder = dir / "variant-without-tokenizer",
                                          .tokenizerFolder = dir / "Models",
                                          .variantFolder = kVariant,
                                          .endpoint = hub.endpoint()};
    const auto tokenizer = DarivirTokenizer::load(options);
    ASSERT_NE(tokenizer, nullptr);
    EXPECT_EQ(tokenizer->specialTokens().specialTokenBegin, 280);

    const fs::path cached = dir / "Models" / "models" / "bexmorinc" / "vocarion-coreml" / kVariant;
    EXPECT_EQ(readFile(cached / "tokenizer.json"), tokenizerJson);
    EXPECT_TRUE(fs::exists(cached / "tokenizer_config.json"));
    EXPECT_FALSE(fs::exists(cached / "AudioEncoder.mlmodelc"));
    EXPECT_FALSE(fs::exists(cached.parent_path() / "openai_darivir-base"));
    EXPECT_EQ(hub.fileDownloads("bexmorinc/vocarion-coreml").size(), 2u);

    // The next load finds the cache and asks the hub nothing.
    options.download = false;
    options.endpoint = "http://127.0.0.1:9";
    EXPECT_EQ(DarivirTokenizer::localTokenizerFile(options), cached / "tokenizer.json");
    EXPECT_NE(DarivirTokenizer::load(options), nullptr);
}

// Loads the variant's tokenizer from the hub at `endpoint` into an empty tokenizer folder
// and returns the message of the error the load must end with.
std::string downloadFailure(const std::string& endpoint) {
    testsupport::TempDir dir;
    const DarivirTokenizer::LoadOptions options{.tokenizerFolder = dir / "Models",
                                                .variantFolder = kVariant,
                                                .endpoint = endpoint};
    try {
        DarivirTokenizer::load(options);
    } catch (const DarivirError& error) {
        EXPECT_EQ(error.kind(), DarivirError::Kind::tokenizerUnavailable);
        return error.what();
    }
    ADD_FAILURE() << "no error";
    return {};
}

TEST_F(TokenizerDownload, AVariantTheHubDoesNotHaveIsAClearError) {
    testsupport::FakeHub hub;
    serve(hub, {{"other/tokenizer.json", "{}"}});
    const std::string message = downloadFailure(hub.endpoint());
    EXPECT_NE(message.find("has none for " + kVariant), std::string::npos) << message;
}

TEST_F(TokenizerDownload, AnUnreachableHubIsAClearError) {
    const std::string message = downloadFailure("http://127.0.0.1:9");
    EXPECT_NE(message.find("downloading it from bexmorinc/vocarion-coreml failed: "), std::string::npos) << message;
}

TEST_F(TokenizerDownload, ABrokenDownloadedFileIsReported) {
    testsupport::FakeHub hub;
    serve(hub, {{kVariant + "/tokenizer.json", "{\"model\": 1}"}});
    const std::string message = downloadFailure(hub.endpoint());
    EXPECT_NE(message.find("tokenizer.json: "), std::string::npos) << message;
}

}  // namespace
