// Tokenizer files written to cost memory: each is loaded in a process of its own, and the
// peak memory it took is held against the file's size. The bounds on counts and lengths
// are typed errors, and a file just within them still loads.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string>

#include "BexmorCore/External/Tokenizers/BpeTokenizer.h"
#include "BexmorCore/External/Tokenizers/TokenizerError.h"
#include "support/ChildPeak.h"
#include "support/TempDir.h"

using bexmor::BpeTokenizer;
using bexmor::TokenizerError;
using testing::HasSubstr;

namespace {

constexpr const char* head = R"({"version":"1.0","pre_tokenizer":{"type":"ByteLevel","add_prefix_space":false},)";
constexpr const char* smallModel = R"("model":{"type":"BPE","vocab":{"a":0,"aa":1},"merges":["a a"]})";

std::string addedToken(std::size_t id, const std::string& content) {
    return R"({"id":)" + std::to_string(id) + R"(,"content":")" + content +
           R"(","single_word":false,"lstrip":false,"rstrip":false,"normalized":false,"special":true})";
}

// A file whose added tokens (listed first, as the model family's files do) are made by
// `content`, `count` of them.
std::string withAddedTokens(std::size_t count, const std::function<std::string(std::size_t)>& content) {
    std::string file = std::string(head) + R"("added_tokens":[)";
    for (std::size_t i = 0; i < count; ++i) file += (i ? "," : "") + addedToken(1000 + i, content(i));
    return file + "]," + smallModel + "}";
}

std::string withVocabulary(std::size_t count) {
    std::string file = std::string(head) + R"("model":{"type":"BPE","vocab":{)";
    for (std::size_t i = 0; i < count; ++i) file += (i ? ",\"t" : "\"t") + std::to_string(i) + "\":" + std::to_string(i);
    return file + "}}}";
}

std::string withMerges(std::size_t count) {
    std::string file = std::string(head) + R"("model":{"type":"BPE","vocab":{"a":0,"aa":1},"merges":[)";
    for (std::size_t i = 0; i < count; ++i) file += std::string(i ? "," : "") + (i % 2 ? R"("a a")" : R"(["a","a"])");
    return file + "]}}";
}

// "<|t00000|>": ten bytes for each of 100,000 ids.
std::string tenBytes(std::size_t i) {
    std::string digits = std::to_string(i);
    return "<|t" + std::string(digits.size() < 5 ? 5 - digits.size() : 0, '0') + digits + "|>";
}

TEST(HostileTokenizerFiles, PeakMemoryStaysWithinAFewTimesTheFileSize) {
    struct Case {
        const char* name;
        std::function<std::string()> file;
        std::string error;  // empty: the file loads
        // The peak may be this many times the file's size (and 16 MiB): a file refused
        // early costs about its own size, one that loads its tokens as well.
        int multiple = 3;
    };
    // Each a prefix of the next, 2 kB on average: 41 MB in all.
    const auto prefixes = [](std::size_t i) { return std::string(1 + i * 4100 / 20000, 'x'); };
    // Nothing the reader needs, in the smallest pieces JSON has.
    const auto junk = [] {
        std::string file = std::string(head) + R"("post_processor":{"type":"ByteLevel","junk":[)";
        for (int i = 0; i < 8000000; ++i) file += i ? ",{}" : "{}";
        return file + "]}," + smallModel + "}";
    };
    const Case cases[] = {
        {"a million added tokens", [] { return withAddedTokens(1000000, [](std::size_t i) { return "<" + std::to_string(i) + ">"; }); },
         "more than 100000 added tokens"},
        {"20,000 added tokens, each a prefix of the next", [&] { return withAddedTokens(20000, prefixes); },
         "more than 1048576 bytes of added tokens"},
        {"two million tokens", [] { return withVocabulary(2000000); }, "more than 262144 tokens in its vocabulary"},
        {"two million merges", [] { return withMerges(2000000); }, "more than 262144 merges"},
        {"a post-processor of eight million empty objects", junk, ""},
        // Within the bounds, the most the matcher can be asked to hold: a node per byte.
        {"one added token of 1 MiB",
         [] { return withAddedTokens(1, [](std::size_t) { return std::string(BpeTokenizer::maxAddedTokenBytes, 'x'); }); }, ""},
        // Each added token is kept by id, by text, in the list and in the matcher.
        {"100,000 added tokens of ten bytes", [] { return withAddedTokens(BpeTokenizer::maxAddedTokens, tenBytes); }, "", 10},
    };
    const bool measured = testsupport::peakMemoryIsMeasured();
    testsupport::TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto path = dir / "tokenizer.json";
        const auto read = testsupport::readInChild(path, c.file, [&] {
            try {
                (void)BpeTokenizer::fromFile(path);
                return c.error.empty() ? 0 : 1;
            } catch (const TokenizerError& error) {
                return !c.error.empty() && std::string(error.what()).find(c.error) != std::string::npos ? 0 : 2;
            }
        });
        EXPECT_EQ(read.run.exitCode, 0) << "1: loaded, 2: another error, else a crash";
        if (measured) {
            EXPECT_LT(read.extraPeakBytes, c.multiple * read.fileBytes + (16 << 20))
                << "file of " << read.fileBytes << " bytes";
        }
    }
}

// Each bound refuses one more than it allows, and names what was too much.
TEST(HostileTokenizerFiles, EachBoundIsATypedErrorOneBeyondIt) {
    const std::size_t addedLimit = BpeTokenizer::maxAddedTokens;
    const std::size_t bytesLimit = BpeTokenizer::maxAddedTokenBytes;
    struct Case {
        std::string file;
        std::string error;
    };
    const Case cases[] = {
        {withAddedTokens(addedLimit, tenBytes), ""},
        {withAddedTokens(addedLimit + 1, tenBytes), "more than 100000 added tokens"},
        {withAddedTokens(1, [&](std::size_t) { return std::string(bytesLimit, 'x'); }), ""},
        {withAddedTokens(2, [&](std::size_t i) { return std::string(i ? 1 : bytesLimit, 'x'); }), "bytes of added tokens"},
        {withVocabulary(BpeTokenizer::maxVocabulary), ""},
        {withVocabulary(BpeTokenizer::maxVocabulary + 1), "tokens in its vocabulary"},
        {withMerges(BpeTokenizer::maxMerges), ""},
        {withMerges(BpeTokenizer::maxMerges + 1), "merges"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error.empty() ? "within the bound" : c.error);
        std::string message;
        try {
            const auto tokenizer = BpeTokenizer::fromJson(c.file, "hostile.json");
            if (!tokenizer.addedTokens().empty()) {
                // The tokens are found whole in text.
                const auto& token = tokenizer.addedTokens().back();
                EXPECT_EQ(tokenizer.encode("a" + token.content), (std::vector<int>{0, token.id}));
            }
        } catch (const TokenizerError& error) {
            message = error.what();
        }
        if (c.error.empty()) {
            EXPECT_EQ(message, "");
        } else {
            EXPECT_THAT(message, HasSubstr("hostile.json: has more than "));
            EXPECT_THAT(message, HasSubstr(c.error));
        }
    }
    testsupport::TempDir dir;
    const auto big = dir / "big.json";
    {
        std::ofstream out(big, std::ios::binary);
        out.seekp(std::streamoff(BpeTokenizer::maxFileBytes));
        out.put(' ');
    }
    std::string message;
    try {
        (void)BpeTokenizer::fromFile(big);
    } catch (const TokenizerError& error) {
        message = error.what();
    }
    EXPECT_THAT(message, HasSubstr("more than any real tokenizer"));
}

}  // namespace
