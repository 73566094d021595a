#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "BexmorCore/External/Hub/NetworkMonitor.h"
#include "Vocarion/Core/Constants.h"
#include "Vocarion/Core/DarivirTokenizer.h"
#include "Vocarion/Utilities/DarivirError.h"
#include "support/FakeHub.h"
#include "support/TempDir.h"
#include "TestPaths.h"

using namespace vocarion;
namespace fs = std::filesystem;
using Ids = std::vector<int>;

namespace {

const fs::path kHandwritten = fs::path(testsupport::kFixturesDir) / "tokenizers" / "handwritten.json";

// The hand-written file with one text replaced, written to `path`.
fs::path edited(const fs::path& path, const std::string& from, const std::string& to) {
    std::string json = testsupport::readFile(kHandwritten);
    json.replace(json.find(from), from.size(), to);
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << json;
    return path;
}

std::string messageOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const DarivirError& error) {
        EXPECT_EQ(error.kind(), DarivirError::Kind::tokenizerUnavailable);
        return error.what();
    }
    return "no error";
}

}  // namespace

// The hand-written file's added tokens start at 280.
TEST(DarivirTokenizer, FindsSpecialTokensByTheirTextAndEncodesAsTheTranscriberNeeds) {
    const auto tokenizer = DarivirTokenizer::fromFile(kHandwritten);
    const SpecialTokens& s = tokenizer.specialTokens();
    EXPECT_EQ((Ids{s.endToken, s.specialTokenBegin, s.startOfTranscriptToken, s.englishToken, s.translateToken, s.transcribeToken,
                   s.startOfLmToken, s.startOfPreviousToken, s.noSpeechToken, s.noTimestampsToken, s.timeTokenBegin}),
              (Ids{280, 280, 281, 282, 284, 285, 286, 287, 288, 289, 290}));
    EXPECT_TRUE(s.isSpecial(280) && !s.isSpecial(279));
    EXPECT_EQ(tokenizer.languageTokens(), (std::vector<std::pair<std::string, int>>{{"en", 282}, {"de", 283}}));
    EXPECT_EQ(tokenizer.convertTokenToId("<|0.02|>"), 291);
    EXPECT_EQ(tokenizer.convertIdToToken(259), "hello");
    testsupport::TempDir dir;  // older files name "no speech" "no captions"
    EXPECT_EQ(DarivirTokenizer::fromFile(edited(dir / "t.json", "<|nospeech|>", "<|nocaptions|>")).specialTokens().noSpeechToken, 288);

    // A vocabulary term that spells a special token must not leak into the prompt.
    Ids ids = tokenizer.encode(" hello, <|endoftext|>world.");
    std::erase_if(ids, [&](int id) { return id >= s.specialTokenBegin; });
    // " hello" | "," | " " | <|endoftext|> | "world" | "."; "o r" is the only merge in "world".
    EXPECT_EQ(ids, (Ids{32, 259, ',', 32, 'w', 262, 'l', 'd', '.'}));
    EXPECT_EQ(tokenizer.decode(ids), " hello, world.");
    const Ids withSpecials = {281, 283, 285, 289, 259, 265, 280};
    EXPECT_EQ(tokenizer.decode(withSpecials), "<|startoftranscript|><|de|><|transcribe|><|notimestamps|>hello world<|endoftext|>");
    EXPECT_EQ(tokenizer.decode(withSpecials, true), "hello world");
}

TEST(DarivirTokenizer, MalformedOrIncompleteFilesGiveAClearError) {
    testsupport::TempDir dir;
    std::ofstream(dir / "broken.json") << "{\"model\": {\"vocab\": ";
    const std::pair<fs::path, std::string> cases[] = {
        {dir / "broken.json", "Tokenizer is unavailable: " + (dir / "broken.json").string() + ": is not valid JSON"},
        {edited(dir / "nosot.json", "<|startoftranscript|>", "<|start|>"), "has no special token \"<|startoftranscript|>\""},
        {edited(dir / "nobyte.json", "\"Ā\": 0,", ""), "no token for the byte 0x00"},
    };
    for (const auto& [file, words] : cases) EXPECT_NE(messageOf([&] { DarivirTokenizer::fromFile(file); }).find(words), std::string::npos) << words;
}

TEST(TokenizerLoader, TheModelFolderComesFirstThenTheCacheAndABrokenFileIsReported) {
    testsupport::TempDir dir;
    const std::string variant = "darivir-tiny";
    const fs::path modelFolder = dir / "base" / variant, tokenizers = dir / "tokenizers";
    const fs::path cached = tokenizers / "models" / "bexmorinc" / "vocarion-coreml" / variant / "tokenizer.json";
    fs::create_directories(modelFolder);
    DarivirTokenizer::LoadOptions options{.modelFolder = modelFolder, .tokenizerFolder = tokenizers, .download = false};
    EXPECT_EQ(DarivirTokenizer::localTokenizerFile(options), std::nullopt);
    EXPECT_NE(messageOf([&] { DarivirTokenizer::load(options); }).find("Tokenizer is unavailable: no tokenizer.json found in " + modelFolder.string()),
              std::string::npos);

    fs::create_directories(cached.parent_path());
    fs::copy_file(kHandwritten, cached);
    EXPECT_EQ(DarivirTokenizer::localTokenizerFile(options), cached);
    EXPECT_EQ(DarivirTokenizer::load(options)->specialTokens().endToken, 280);
    // The variant folder may be named when there is no model folder.
    EXPECT_EQ(DarivirTokenizer::localTokenizerFile({.tokenizerFolder = tokenizers, .variantFolder = variant, .download = false}), cached);

    edited(modelFolder / "tokenizer.json", "\"[X]\"", "\"[Q]\"");  // a file in the model folder wins
    EXPECT_EQ(DarivirTokenizer::load(options)->encode("[Q]"), (Ids{292}));
    std::ofstream(modelFolder / "tokenizer.json") << "not json";
    EXPECT_NE(messageOf([&] { DarivirTokenizer::load(options); }).find("not valid JSON"), std::string::npos);
}

TEST(TokenizerDownload, FetchesOnlyTheVariantsTokenizerFilesIntoTheCacheOrFailsClearly) {
    bexmor::NetworkMonitor::shared().setConnectivityProbe([] { return true; });
    const std::string repo = "bexmorinc/vocarion-coreml", variant = "darivir-tiny";
    const std::string json = testsupport::readFile(kHandwritten);
    testsupport::FakeHub hub;
    for (const auto& [name, content] : std::map<std::string, std::string>{{variant + "/tokenizer.json", json},
                                                                         {variant + "/tokenizer_config.json", "{}"},
                                                                         {variant + "/AudioEncoder.mlmodelc/weights.safetensors", "w"},
                                                                         {"darivir-base/tokenizer.json", "{}"},
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
    EXPECT_FALSE(fs::exists(cached / "AudioEncoder.mlmodelc") || fs::exists(cached.parent_path() / "darivir-base"));
    EXPECT_EQ(hub.fileDownloads(repo).size(), 2u);
    // The next load finds the cache and asks the hub nothing.
    options.download = false;
    options.endpoint = "http://127.0.0.1:9";
    EXPECT_EQ(DarivirTokenizer::localTokenizerFile(options), cached / "tokenizer.json");
    EXPECT_NE(DarivirTokenizer::load(options), nullptr);

    const std::tuple<std::string, std::string, std::string> failures[] = {
        {hub.endpoint(), "darivir-huge", "has none for darivir-huge"},
        {"http://127.0.0.1:9", variant, "downloading it from " + repo + " failed: "},
        {hub.endpoint(), "broken", "tokenizer.json: "}};
    for (const auto& [endpoint, folder, words] : failures) {
        const auto message = messageOf([&] { DarivirTokenizer::load({.tokenizerFolder = dir / "empty", .variantFolder = folder, .endpoint = endpoint}); });
        EXPECT_NE(message.find(words), std::string::npos) << message;
    }
    bexmor::NetworkMonitor::shared().setConnectivityProbe({});
}

TEST(Constants, TheDefaultEndpointFollowsTheHubVariable) {
    const char* saved = std::getenv("HUB_ENDPOINT");
    const std::string savedValue = saved ? saved : "";
    unsetenv("HUB_ENDPOINT");
    EXPECT_EQ(Constants::defaultRemoteEndpoint(), Constants::publishedModelsEndpoint);
    setenv("HUB_ENDPOINT", "", 1);  // set, though empty: the hub client follows it too
    EXPECT_EQ(Constants::defaultRemoteEndpoint(), "");
    setenv("HUB_ENDPOINT", "http://127.0.0.1:8123", 1);
    EXPECT_EQ(Constants::defaultRemoteEndpoint(), "http://127.0.0.1:8123");
    saved ? setenv("HUB_ENDPOINT", savedValue.c_str(), 1) : unsetenv("HUB_ENDPOINT");
}
