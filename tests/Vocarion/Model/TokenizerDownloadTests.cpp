#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <mutex>

#include <nlohmann/json.hpp>

#include "BexmorCore/External/Hub/NetworkMonitor.h"
#include "Platform/Net/Sha256.h"
#include "Vocarion/Core/DarivirTokenizer.h"
#include "Vocarion/Utilities/DarivirError.h"
#include "support/TempDir.h"
#include "support/TestHttpServer.h"
#include "TestPaths.h"

using namespace vocarion;
namespace fs = std::filesystem;

namespace {

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// A model hub on loopback holding one repository: a listing and the files, with the
// headers the hub client reads.
class LoopbackHub {
public:
    explicit LoopbackHub(std::map<std::string, std::string> files)
        : files_(std::move(files)),
          server_([this](const testsupport::HttpRequest& request, testsupport::HttpResponder& responder) {
              handle(request, responder);
          }) {}

    std::string endpoint() const { return server_.baseUrl(); }
    std::vector<std::string> fetched() const {
        std::vector<std::string> paths;
        for (const auto& request : server_.requests()) {
            if (request.method == "GET" && request.path.find("/resolve/") != std::string::npos) paths.push_back(request.path);
        }
        return paths;
    }

private:
    static constexpr const char* kRepo = "/bexmorinc/vocarion-coreml";

    void handle(const testsupport::HttpRequest& request, testsupport::HttpResponder& responder) {
        if (request.path == std::string("/api/models") + kRepo + "/revision/main") {
            nlohmann::json siblings = nlohmann::json::array();
            for (const auto& [name, content] : files_) siblings.push_back({{"rfilename", name}});
            return responder.respond(200, {{"Content-Type", "application/json"}},
                                     nlohmann::json{{"siblings", siblings}}.dump());
        }
        const std::string prefix = std::string(kRepo) + "/resolve/main/";
        if (request.path.rfind(prefix, 0) == 0) {
            const auto file = files_.find(request.path.substr(prefix.size()));
            if (file == files_.end()) return responder.respond(404, {}, "");
            const std::map<std::string, std::string> headers{
                {"X-Repo-Commit", std::string(40, 'c')},
                {"X-Linked-Etag", "\"" + platform::Sha256::hex(file->second) + "\""},
                {"X-Linked-Size", std::to_string(file->second.size())},
            };
            return responder.respond(200, headers, request.method == "HEAD" ? std::string() : file->second);
        }
        responder.respond(404, {}, "");
    }

    std::map<std::string, std::string> files_;
    testsupport::TestHttpServer server_;
};

class TokenizerDownload : public ::testing::Test {
protected:
    void SetUp() override { bexmor::NetworkMonitor::shared().setConnectivityProbe([] { return true; }); }
    void TearDown() override { bexmor::NetworkMonitor::shared().setConnectivityProbe({}); }
};

const std::string kVariant = "openai_darivir-tiny";

TEST_F(TokenizerDownload, FetchesOnlyTheVariantsTokenizerFilesIntoTheCache) {
    const std::string tokenizerJson = readFile(fs::path(testsupport::kFixturesDir) / "tokenizers" / "handwritten.json");
    LoopbackHub hub({{kVariant + "/tokenizer.json", tokenizerJson},
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
    EXPECT_EQ(hub.fetched().size(), 2u);

    // The next load finds the cache and asks the hub nothing.
    options.download = false;
    options.endpoint = "http://127.0.0.1:9";
    EXPECT_EQ(DarivirTokenizer::localTokenizerFile(options), cached / "tokenizer.json");
    EXPECT_NE(DarivirTokenizer::load(options), nullptr);
}

TEST_F(TokenizerDownload, AVariantTheHubDoesNotHaveIsAClearError) {
    LoopbackHub hub(std::map<std::string, std::string>{{"other/tokenizer.json", "{}"}});
    testsupport::TempDir dir;
    const DarivirTokenizer::LoadOptions options{.tokenizerFolder = dir / "Models",
                                                .variantFolder = kVariant,
                                                .endpoint = hub.endpoint()};
    try {
        DarivirTokenizer::load(options);
        FAIL() << "no error";
    } catch (const DarivirError& error) {
        EXPECT_EQ(error.kind(), DarivirError::Kind::tokenizerUnavailable);
        EXPECT_NE(std::string(error.what()).find("has none for " + kVariant), std::string::npos) << error.what();
    }
}

TEST_F(TokenizerDownload, AnUnreachableHubIsAClearError) {
    testsupport::TempDir dir;
    const DarivirTokenizer::LoadOptions options{.tokenizerFolder = dir / "Models",
                                                .variantFolder = kVariant,
                                                .endpoint = "http://127.0.0.1:9"};
    try {
        DarivirTokenizer::load(options);
        FAIL() << "no error";
    } catch (const DarivirError& error) {
        EXPECT_NE(std::string(error.what()).find("downloading it from bexmorinc/vocarion-coreml failed: "),
                  std::string::npos)
            << error.what();
    }
}

TEST_F(TokenizerDownload, ABrokenDownloadedFileIsReported) {
    LoopbackHub hub(std::map<std::string, std::string>{{kVariant + "/tokenizer.json", "{\"model\": 1}"}});
    testsupport::TempDir dir;
    const DarivirTokenizer::LoadOptions options{.tokenizerFolder = dir / "Models",
                                                .variantFolder = kVariant,
                                                .endpoint = hub.endpoint()};
    try {
        DarivirTokenizer::load(options);
        FAIL() << "no error";
    } catch (const DarivirError& error) {
        EXPECT_NE(std::string(error.what()).find("tokenizer.json: "), std::string::npos) << error.what();
    }
}

}  // namespace
