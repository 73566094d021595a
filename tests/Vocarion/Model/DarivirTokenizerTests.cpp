#include <gtest/gtest.h>

#include <fstream>

#include "Vocarion/Core/DarivirTokenizer.h"
#include "Vocarion/Utilities/DarivirError.h"
#include "support/TempDir.h"
#include "TestPaths.h"

using namespace vocarion;
namespace fs = std::filesystem;
using Ids = std::vector<int>;

namespace {

fs::path handwrittenFile() { return fs::path(testsupport::kFixturesDir) / "tokenizers" / "handwritten.json"; }

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
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

// The hand-written file's added tokens start at 280.
TEST(DarivirTokenizer, FindsSpecialTokensByTheirText) {
    const auto tokenizer = DarivirTokenizer::fromFile(handwrittenFile());
    const SpecialTokens& s = tokenizer.specialTokens();
    EXPECT_EQ(s.endToken, 280);
    EXPECT_EQ(s.specialTokenBegin, 280);
    EXPECT_EQ(s.startOfTranscriptToken, 281);
    EXPECT_EQ(s.englishToken, 282);
    EXPECT_EQ(s.translateToken, 284);
    EXPECT_EQ(s.transcribeToken, 285);
    EXPECT_EQ(s.startOfLmToken, 286);
    EXPECT_EQ(s.startOfPreviousToken, 287);
    EXPECT_EQ(s.noSpeechToken, 288);
    EXPECT_EQ(s.noTimestampsToken, 289);
    EXPECT_EQ(s.timeTokenBegin, 290);
    EXPECT_TRUE(s.isSpecial(280));
    EXPECT_FALSE(s.isSpecial(279));
    EXPECT_EQ(tokenizer.languageTokens(), (std::vector<std::pair<std::string, int>>{{"en", 282}, {"de", 283}}));
    EXPECT_EQ(tokenizer.languageToken("de"), 283);
    EXPECT_EQ(tokenizer.languageToken("fr"), std::nullopt);
    EXPECT_EQ(tokenizer.convertTokenToId("<|0.02|>"), 291);
    EXPECT_EQ(tokenizer.convertIdToToken(259), "hello");
}

TEST(DarivirTokenizer, OlderFilesNameNoSpeechNoCaptions) {
    std::string json = readFile(handwrittenFile());
    json.replace(json.find("<|nospeech|>"), 12, "<|nocaptions|>");
    testsupport::TempDir dir;
    writeFile(dir / "tokenizer.json", json);
    EXPECT_EQ(DarivirTokenizer::fromFile(dir / "tokenizer.json").specialTokens().noSpeechToken, 288);
}

TEST(DarivirTokenizer, PromptTokensAsTheTranscriberBuildsThem) {
    const auto tokenizer = DarivirTokenizer::fromFile(handwrittenFile());
    // A vocabulary term that spells a special token must not leak into the prompt.
    Ids ids = tokenizer.encode(" hello, <|endoftext|>world.");
    std::erase_if(ids, [&](int id) { return id >= tokenizer.specialTokens().specialTokenBegin; });
    // " hello" | "," | " " | <|endoftext|> | "world" | "."; "o r" is the only merge in "world".
    EXPECT_EQ(ids, (Ids{32, 259, ',', 32, 'w', 262, 'l', 'd', '.'}));
    EXPECT_EQ(tokenizer.decode(ids), " hello, world.");
    EXPECT_EQ(tokenizer.encode(" hello").front(), 32);
}

TEST(DarivirTokenizer, DecodeCanLeaveSpecialTokensOut) {
    const auto tokenizer = DarivirTokenizer::fromFile(handwrittenFile());
    const Ids ids = {281, 283, 285, 289, 259, 265, 280};
    EXPECT_EQ(tokenizer.decode(ids), "<|startoftranscript|><|de|><|transcribe|><|notimestamps|>hello world<|endoftext|>");
    EXPECT_EQ(tokenizer.decode(ids, true), "hello world");
}

TEST(DarivirTokenizer, MalformedOrIncompleteFilesGiveAClearError) {
    testsupport::TempDir dir;
    writeFile(dir / "broken" / "tokenizer.json", "{\"model\": {\"vocab\": ");
    EXPECT_NE(messageOf([&] { DarivirTokenizer::fromFile(dir / "broken" / "tokenizer.json"); })
                  .find("Tokenizer is unavailable: " + (dir / "broken" / "tokenizer.json").string() + ": is not valid JSON"),
              std::string::npos);

    std::string json = readFile(handwrittenFile());
    json.replace(json.find("<|startoftranscript|>"), 21, "<|start|>");
    writeFile(dir / "nosot" / "tokenizer.json", json);
    EXPECT_NE(messageOf([&] { DarivirTokenizer::fromFile(dir / "nosot" / "tokenizer.json"); })
                  .find("has no special token \"<|startoftranscript|>\""),
              std::string::npos);

    json = readFile(handwrittenFile());
    const std::string byteZero = "\"Ā\": 0,";
    json.replace(json.find(byteZero), byteZero.size(), "");  // byte 0 loses its token
    writeFile(dir / "nobyte" / "tokenizer.json", json);
    EXPECT_NE(messageOf([&] { DarivirTokenizer::fromFile(dir / "nobyte" / "tokenizer.json"); })
                  .find("no token for the byte 0x00"),
              std::string::npos);
}

TEST(TokenizerLoader, ModelFolderComesFirstThenTheHubCache) {
    testsupport::TempDir dir;
    const std::string variant = "openai_darivir-tiny";
    const fs::path modelFolder = dir / "base" / "models" / "bexmorinc" / "vocarion-coreml" / variant;
    const fs::path tokenizerFolder = dir / "tokenizers";
    const fs::path cached = tokenizerFolder / "models" / "bexmorinc" / "vocarion-coreml" / variant / "tokenizer.json";
    fs::create_directories(modelFolder);
    writeFile(cached, readFile(handwrittenFile()));

    DarivirTokenizer::LoadOptions options{.modelFolder = modelFolder, .tokenizerFolder = tokenizerFolder, .download = false};
    EXPECT_EQ(DarivirTokenizer::localTokenizerFile(options), cached);
    EXPECT_EQ(DarivirTokenizer::load(options)->specialTokens().endToken, 280);

    // A file in the model folder wins over the cache.
    std::string json = readFile(handwrittenFile());
    json.replace(json.find("\"[X]\""), 5, "\"[Q]\"");
    writeFile(modelFolder / "tokenizer.json", json);
    EXPECT_EQ(DarivirTokenizer::localTokenizerFile(options), modelFolder / "tokenizer.json");
    EXPECT_EQ(DarivirTokenizer::load(options)->encode("[Q]"), (Ids{292}));

    // The variant folder may be named when there is no model folder.
    DarivirTokenizer::LoadOptions byName{.tokenizerFolder = tokenizerFolder, .variantFolder = variant, .download = false};
    EXPECT_EQ(DarivirTokenizer::localTokenizerFile(byName), cached);
    EXPECT_NE(DarivirTokenizer::load(byName), nullptr);
}

TEST(TokenizerLoader, NothingFoundAndNoDownloadIsAnError) {
    testsupport::TempDir dir;
    fs::create_directories(dir / "variant");
    const DarivirTokenizer::LoadOptions options{.modelFolder = dir / "variant", .tokenizerFolder = dir / "cache", .download = false};
    EXPECT_EQ(DarivirTokenizer::localTokenizerFile(options), std::nullopt);
    const std::string message = messageOf([&] { DarivirTokenizer::load(options); });
    EXPECT_NE(message.find("Tokenizer is unavailable: no tokenizer.json found in " + (dir / "variant").string()),
              std::string::npos)
        << message;
}

TEST(TokenizerLoader, ABrokenLocalFileIsReportedNotPassedOver) {
    testsupport::TempDir dir;
    writeFile(dir / "variant" / "tokenizer.json", "not json");
    writeFile(dir / "cache" / "models" / "bexmorinc" / "vocarion-coreml" / "variant" / "tokenizer.json",
              readFile(handwrittenFile()));
    const DarivirTokenizer::LoadOptions options{.modelFolder = dir / "variant", .tokenizerFolder = dir / "cache", .download = false};
    EXPECT_NE(messageOf([&] { DarivirTokenizer::load(options); }).find("not valid JSON"), std::string::npos);
}

}  // namespace
