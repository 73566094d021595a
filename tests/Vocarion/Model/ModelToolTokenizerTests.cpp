#include <gtest/gtest.h>

#include <string>

#include "Vocarion/Core/Constants.h"
#include "Vocarion/Core/DarivirTokenizer.h"
#include "support/Speech.h"
#include "support/TempDir.h"
#include "TestPaths.h"

using namespace vocarion;
namespace fs = std::filesystem;

namespace {

// The tokenizer file that the model tool writes into a tiny variant folder loads, with
// every special token where the tool puts it.
TEST(ModelToolTokenizer, LoadsFromTheVariantFolderTheToolWrites) {
    testsupport::TempDir dir;
    const fs::path variant = dir / "openai_darivir-tiny";
    const std::string command =
        std::string(testsupport::kBinDir) + "/darivir-model tiny --out '" + variant.string() + "'";
    ASSERT_EQ(testsupport::runCommand(command), 0);

    const auto tokenizer = DarivirTokenizer::load({.modelFolder = variant, .download = false});
    ASSERT_NE(tokenizer, nullptr);
    const SpecialTokens& s = tokenizer->specialTokens();
    // The tool writes the specials after the learned tokens, "<|endoftext|>" first, then
    // "<|startoftranscript|>", the 100 languages, the tasks and the rest, then 1501
    // timestamps, and nothing after them.
    EXPECT_EQ(s.specialTokenBegin, s.endToken);
    EXPECT_EQ(s.startOfTranscriptToken, s.endToken + 1);
    EXPECT_EQ(s.englishToken, s.endToken + 2);
    EXPECT_EQ(s.translateToken, s.endToken + 102);
    EXPECT_EQ(s.transcribeToken, s.endToken + 103);
    EXPECT_EQ(s.startOfLmToken, s.endToken + 104);
    EXPECT_EQ(s.startOfPreviousToken, s.endToken + 105);
    EXPECT_EQ(s.noSpeechToken, s.endToken + 106);
    EXPECT_EQ(s.noTimestampsToken, s.endToken + 107);
    EXPECT_EQ(s.timeTokenBegin, s.endToken + 108);
    EXPECT_EQ(tokenizer->convertTokenToId("<|30.00|>"), s.timeTokenBegin + 1500);
    EXPECT_EQ(tokenizer->bpe().size(), static_cast<std::size_t>(s.timeTokenBegin + 1501));
    ASSERT_EQ(tokenizer->languageTokens().size(), Constants::languages.size());
    EXPECT_EQ(tokenizer->languageToken("de"), s.englishToken + 2);
    EXPECT_EQ(tokenizer->languageToken("yue"), s.englishToken + 99);

    // Text round-trips, learned merges are used, and only ordinary ids come out.
    for (const std::string text : {" Tannholt, KORVU.", "Der schnelle braune Fuchs springt über den faulen Hund.",
                                   "東京 😀 ½", "the the the"}) {
        const auto ids = tokenizer->encode(text);
        EXPECT_EQ(tokenizer->decode(ids), text);
        for (const int id : ids) EXPECT_LT(id, s.specialTokenBegin) << text;
    }
    EXPECT_LT(tokenizer->encode(" the quick brown fox").size(), std::string(" the quick brown fox").size());
}

}  // namespace
