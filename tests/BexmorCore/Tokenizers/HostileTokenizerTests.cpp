// Tokenizer files are downloaded or picked by the user: whatever they hold, loading fails
// with the tokenizer's own error and encoding stays linear in the text.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "BexmorCore/External/Tokenizers/AddedTokenMatcher.h"
#include "BexmorCore/External/Tokenizers/BpeTokenizer.h"
#include "BexmorCore/External/Tokenizers/ByteLevel.h"
#include "BexmorCore/External/Tokenizers/TokenizerError.h"

using bexmor::AddedTokenMatcher;
using bexmor::BpeTokenizer;

namespace {

// Every byte is a token (id = byte), no merges, and the given added tokens from id 256.
std::string byteTokenizer(const std::vector<std::string>& added) {
    nlohmann::json vocab = nlohmann::json::object();
    for (int b = 0; b < 256; ++b) vocab[bexmor::ByteLevel::text(static_cast<std::uint8_t>(b))] = b;
    nlohmann::json addedTokens = nlohmann::json::array();
    for (std::size_t i = 0; i < added.size(); ++i) {
        addedTokens.push_back({{"id", 256 + int(i)}, {"content", added[i]}, {"special", true}});
    }
    return nlohmann::json{{"model", {{"type", "BPE"}, {"vocab", vocab}, {"merges", nlohmann::json::array()}}},
                          {"pre_tokenizer", {{"type", "ByteLevel"}, {"add_prefix_space", false}}},
                          {"decoder", {{"type", "ByteLevel"}}},
                          {"added_tokens", addedTokens}}
        .dump();
}

TEST(HostileTokenizer, NumbersOutOfRangeGiveTheTokenizerError) {
    const std::string valid = byteTokenizer({"<|x|>"});
    // Each number is too large for a double wherever it stands; the reader must say so
    // in its own words, naming the file.
    const std::vector<std::pair<std::string, std::string>> edits = {
        {"\"merges\":[]", "\"merges\":[1e999]"},
        {"\"special\":true", "\"special\":-1e999"},
        {"{\"added_tokens\"", "{\"extra\":[[1E+400]],\"added_tokens\""},
    };
    for (const auto& [from, to] : edits) {
        std::string hostile = valid;
        const auto at = hostile.find(from);
        ASSERT_NE(at, std::string::npos) << from;
        hostile.replace(at, from.size(), to);
        try {
            (void)BpeTokenizer::fromJson(hostile, "hostile/tokenizer.json");
            ADD_FAILURE() << "loaded: " << to;
        } catch (const bexmor::TokenizerError& error) {
            EXPECT_NE(std::string(error.what()).find("hostile/tokenizer.json"), std::string::npos) << error.what();
        } catch (const std::exception& error) {
            ADD_FAILURE() << "not the tokenizer's error for " << to << ": " << error.what();
        }
    }
}

// The reference: at each position the longest token starting there, leftmost first.
std::vector<AddedTokenMatcher::Match> naiveMatches(const std::string& text,
                                                   const std::vector<std::pair<std::string, int>>& tokens) {
    std::vector<AddedTokenMatcher::Match> matches;
    for (std::size_t p = 0; p < text.size();) {
        std::optional<AddedTokenMatcher::Match> best;
        for (const auto& [content, id] : tokens) {
            if (content.empty() || text.compare(p, content.size(), content) != 0) continue;
            if (!best || content.size() > best->length) best = AddedTokenMatcher::Match{p, content.size(), id};
        }
        if (best) {
            matches.push_back(*best);
            p += best->length;
        } else {
            ++p;
        }
    }
    return matches;
}

TEST(HostileTokenizer, AddedTokensMatchLeftmostLongestLikeTheNaiveSearch) {
    std::mt19937 random(7);
    const auto word = [&](std::size_t maxLength) {
        std::string s(1 + random() % maxLength, 'a');
        for (char& c : s) c = char('a' + random() % 3);
        return s;
    };
    for (int round = 0; round < 300; ++round) {
        std::vector<std::pair<std::string, int>> tokens;
        const int count = 1 + int(random() % 6);
        for (int i = 0; i < count; ++i) tokens.emplace_back(word(6), i);
        if (round % 5 == 0) tokens.emplace_back(tokens.front().first, 99);  // a repeat keeps its first id
        const std::string text = word(120);
        EXPECT_EQ(AddedTokenMatcher(tokens).findAll(text), naiveMatches(text, tokens)) << text;
    }
}

TEST(HostileTokenizer, LongAddedTokensKeepEncodingLinear) {
    // A 64 KiB token whose every prefix occurs all over the text: a search that walks the
    // token from each position costs 64 KiB per byte, about 10^11 steps for this text and
    // far beyond the test's time limit; a linear one takes milliseconds.
    std::string token;
    for (int i = 0; i < 32768; ++i) token += "a ";
    token += "b";
    const BpeTokenizer tokenizer = BpeTokenizer::fromJson(byteTokenizer({token}));
    std::string text;
    for (int i = 0; i < 1 << 22; ++i) text += "a ";
    text += token;
    const std::vector<int> ids = tokenizer.encode(text);
    // Every byte is its own id until the long token, which ends the text.
    ASSERT_EQ(ids.size(), (std::size_t(1) << 23) + 1);
    EXPECT_EQ(ids.back(), 256);
    EXPECT_EQ(ids.front(), 'a');
    EXPECT_EQ(tokenizer.decode(ids), text);
}

}  // namespace
