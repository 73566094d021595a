#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "BexmorCore/External/Tokenizers/BpeTokenizer.h"
#include "BexmorCore/External/Tokenizers/ByteLevel.h"
#include "BexmorCore/External/Tokenizers/TokenizerError.h"
#include "support/TempDir.h"
#include "TestPaths.h"

using bexmor::BpeTokenizer;
using bexmor::ByteLevel;
using bexmor::TokenizerError;
using Ids = std::vector<int>;

namespace {

std::filesystem::path handwrittenFile() {
    return std::filesystem::path(testsupport::kFixturesDir) / "tokenizers" / "handwritten.json";
}

const BpeTokenizer& handwritten() {
    static const BpeTokenizer tokenizer = BpeTokenizer::fromFile(handwrittenFile());
    return tokenizer;
}

// In the hand-written file, byte b is id b, the n-th merge makes id 256 + n and the added
// tokens start at 280 ("<|endoftext|>"); "[X]" is 292 and "[X]Y" 293.
TEST(HandwrittenTokenizer, MergesApplyInRankOrderNotLeftToRight) {
    // " hello": "Ġ h" (rank 4) is the leftmost pair, but "l l", "e ll", "h ell" and
    // "hell o" rank lower, so "hello" forms first and "Ġ" stays alone.
    EXPECT_EQ(handwritten().encode(" hello"), (Ids{32, 259}));
    EXPECT_EQ(handwritten().encode("hello"), (Ids{259}));
    // " world": "Ġ w" (5) before "o r" (6), then "Ġw or", "Ġwor l", "Ġworl d".
    EXPECT_EQ(handwritten().encode(" world"), (Ids{265}));
    EXPECT_EQ(handwritten().encode("hello world"), (Ids{259, 265}));
    // "y z" (rank 14) beats "x y" (rank 15) although it lies to the right.
    EXPECT_EQ(handwritten().encode("xyz"), (Ids{120, 270}));
    // "a b" (12) beats "b c" (13).
    EXPECT_EQ(handwritten().encode("abc"), (Ids{268, 99}));
}

TEST(HandwrittenTokenizer, EqualRanksMergeLeftmostFirst) {
    EXPECT_EQ(handwritten().encode("aa"), (Ids{266}));
    EXPECT_EQ(handwritten().encode("aaa"), (Ids{266, 97}));
    EXPECT_EQ(handwritten().encode("aaaa"), (Ids{267}));
    EXPECT_EQ(handwritten().encode("aaaaa"), (Ids{267, 97}));
}

TEST(HandwrittenTokenizer, MultiByteCharactersMergeFromTheirBytes) {
    EXPECT_EQ(handwritten().encode("ä"), (Ids{272}));
    EXPECT_EQ(handwritten().encode("ö"), (Ids{273}));
    // No merge for "ü": its two bytes C3 BC stay apart.
    EXPECT_EQ(handwritten().encode("ü"), (Ids{0xC3, 0xBC}));
}

TEST(HandwrittenTokenizer, SplitsWordsContractionsAndWhiteSpaceBeforeMerging) {
    // "it" and "'s" are separate pieces.
    EXPECT_EQ(handwritten().encode("it's"), (Ids{'i', 't', '\'', 's'}));
    // Two spaces before a word: the first stands alone, the second joins the word.
    EXPECT_EQ(handwritten().encode("a  b"), (Ids{'a', ' ', ' ', 'b'}));
    // "ll" inside a piece merges, across pieces it does not: "l" and " l".
    EXPECT_EQ(handwritten().encode("l l"), (Ids{'l', ' ', 'l'}));
    EXPECT_EQ(handwritten().encode("ll"), (Ids{256}));
    EXPECT_EQ(handwritten().encode(""), Ids{});
}

TEST(HandwrittenTokenizer, AddedTokensMatchLeftmostLongestBeforeSplitting) {
    EXPECT_EQ(handwritten().encode("<|endoftext|>"), (Ids{280}));
    EXPECT_EQ(handwritten().encode("a[X]Yb"), (Ids{'a', 293, 'b'}));
    EXPECT_EQ(handwritten().encode("[X]Z"), (Ids{292, 'Z'}));
    // The text around an added token is split on its own: "hello" still merges.
    EXPECT_EQ(handwritten().encode("hello<|en|>hello"), (Ids{259, 282, 259}));
    // A token cut short is plain text.
    EXPECT_EQ(handwritten().encode("<|en|"), (Ids{'<', '|', 'e', 'n', '|'}));
}

TEST(HandwrittenTokenizer, DecodesAddedTokensAsTheirTextAndSkipsUnknownIds) {
    EXPECT_EQ(handwritten().decode(Ids{280, 259, 265}), "<|endoftext|>hello world");
    EXPECT_EQ(handwritten().decode(Ids{280, 259, 265}, true), "hello world");
    EXPECT_EQ(handwritten().decode(Ids{259, -1, 275, 100000, 265}), "hello world");
    EXPECT_EQ(handwritten().decode(Ids{}), "");
}

TEST(HandwrittenTokenizer, DecodingReplacesBrokenUtf8AndNeverThrows) {
    // "ä" is C3 A4: the lead byte alone is one U+FFFD.
    EXPECT_EQ(handwritten().decode(Ids{0xC3}), "\xEF\xBF\xBD");
    EXPECT_EQ(handwritten().decode(Ids{0xC3, 'a'}), "\xEF\xBF\xBD" "a");
    // A four-byte lead with two good continuations then a stop: one U+FFFD for the
    // maximal subpart F0 9F 98, then the "x".
    EXPECT_EQ(handwritten().decode(Ids{0xF0, 0x9F, 0x98, 'x'}), "\xEF\xBF\xBD" "x");
    // Stray continuation bytes: one U+FFFD each.
    EXPECT_EQ(handwritten().decode(Ids{0x80, 0x80}), "\xEF\xBF\xBD\xEF\xBF\xBD");
    // A surrogate encoded in UTF-8 (ED A0 80) is three ill-formed subparts.
    EXPECT_EQ(handwritten().decode(Ids{0xED, 0xA0, 0x80}), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
    // A character split across two tokens joins again.
    EXPECT_EQ(handwritten().decode(Ids{0xC3, 0xBC}), "ü");
}


// ---------------------------------------------------------------------------------------
// Round trips on a tokenizer with many merges, learned here from mixed-language text so
// that merges cross multi-byte characters, spaces and punctuation like a real one's.

const char* const kCorpus =
    "Über den Wolken muss die Freiheit wohl grenzenlos sein. Größe, Straße, Äpfel und Öl. "
    "The quick brown fox jumps over the lazy dog; it's what we'll do, isn't it? "
    "東京は日本の首都です。我们今天去公园散步。한국어도 조금 합니다. "
    "Emoji: 😀😃 👍🏽 👨‍👩‍👧 🇩🇪 — “quotes” «guillemets» 12345 3,14 ½ ⅓ "
    "Tabs\tand\nnew lines\r\n  and   runs   of    spaces. ";

// Plain GPT-2 style training: repeatedly merge the most frequent adjacent pair.
nlohmann::json learnTokenizer(int mergeCount) {
    std::map<std::string, int> vocab;
    for (int b = 0; b < 256; ++b) vocab[ByteLevel::text(static_cast<std::uint8_t>(b))] = b;
    const auto pieces = bexmor::ByteLevelPreTokenizer(false, true).split(kCorpus);
    std::vector<std::vector<std::string>> words;
    for (const auto& piece : pieces) {
        std::vector<std::string> symbols;
        for (const char c : piece) symbols.push_back(ByteLevel::text(static_cast<std::uint8_t>(c)));
        words.push_back(symbols);
    }
    nlohmann::json merges = nlohmann::json::array();
    for (int m = 0; m < mergeCount; ++m) {
        std::map<std::pair<std::string, std::string>, int> counts;
        for (const auto& w : words)
            for (std::size_t i = 0; i + 1 < w.size(); ++i) ++counts[{w[i], w[i + 1]}];
        if (counts.empty()) break;
        const auto best = std::max_element(counts.begin(), counts.end(),
                                           [](const auto& a, const auto& b) { return a.second < b.second; });
        const auto [left, right] = best->first;
        merges.push_back(left + " " + right);
        vocab.emplace(left + right, static_cast<int>(vocab.size()));
        for (auto& w : words) {
            std::vector<std::string> merged;
            for (std::size_t i = 0; i < w.size(); ++i) {
                if (i + 1 < w.size() && w[i] == left && w[i + 1] == right) {
                    merged.push_back(left + right);
                    ++i;
                } else {
                    merged.push_back(w[i]);
                }
            }
            w = merged;
        }
    }
    nlohmann::json doc;
    doc["pre_tokenizer"] = {{"type", "ByteLevel"}, {"add_prefix_space", false}, {"use_regex", true}};
    doc["decoder"] = {{"type", "ByteLevel"}};
    doc["model"] = {{"type", "BPE"}, {"vocab", vocab}, {"merges", merges}};
    doc["added_tokens"] = nlohmann::json::array({{{"id", 100000}, {"content", "<|endoftext|>"}, {"special", true}}});
    return doc;
}

const BpeTokenizer& learned() {
    static const BpeTokenizer tokenizer = BpeTokenizer::fromJson(learnTokenizer(300).dump());
    return tokenizer;
}

// The textbook algorithm, slow and obviously right: merge the lowest-ranked pair (all
// its occurrences, left to right) until none is left.
Ids referenceEncode(const nlohmann::json& doc, const std::string& text) {
    std::map<std::pair<std::string, std::string>, int> ranks;
    int rank = 0;
    for (const auto& m : doc["model"]["merges"]) {
        const std::string s = m.get<std::string>();
        ranks[{s.substr(0, s.find(' ')), s.substr(s.find(' ') + 1)}] = rank++;
    }
    Ids ids;
    for (const auto& piece : bexmor::ByteLevelPreTokenizer(false, true).split(text)) {
        std::vector<std::string> w;
        for (const char c : piece) w.push_back(ByteLevel::text(static_cast<std::uint8_t>(c)));
        while (w.size() > 1) {
            int bestRank = INT32_MAX;
            std::pair<std::string, std::string> best;
            for (std::size_t i = 0; i + 1 < w.size(); ++i) {
                const auto it = ranks.find({w[i], w[i + 1]});
                if (it != ranks.end() && it->second < bestRank) {
                    bestRank = it->second;
                    best = it->first;
                }
            }
            if (bestRank == INT32_MAX) break;
            std::vector<std::string> merged;
            for (std::size_t i = 0; i < w.size(); ++i) {
                if (i + 1 < w.size() && w[i] == best.first && w[i + 1] == best.second) {
                    merged.push_back(best.first + best.second);
                    ++i;
                } else {
                    merged.push_back(w[i]);
                }
            }
            w = merged;
        }
        for (const auto& symbol : w) ids.push_back(doc["model"]["vocab"][symbol].get<int>());
    }
    return ids;
}

TEST(LearnedTokenizer, RoundTripsGermanEnglishEmojiAndCjk) {
    const std::vector<std::string> texts = {
        "Größere Äpfel schmecken süßer, sagte Jürgen.",
        "The quick brown fox isn't lazy; we'll see.",
        "東京は日本の首都です。", "我们今天去公园散步。", "한국어도 조금 합니다.",
        "👨‍👩‍👧 🇩🇪 👍🏽 😀", " leading and trailing  ", "\n\n  x\t\ty\r\n",
        "12345 3,14 ½", "mixed: Straße東京😀abc", "",
    };
    for (const auto& text : texts) {
        const Ids ids = learned().encode(text);
        EXPECT_EQ(learned().decode(ids), text) << text;
        // Merges happened: the learned vocabulary is used, not just bytes.
        if (text.size() > 8) {
            EXPECT_LT(ids.size(), text.size()) << text;
        }
    }
}

TEST(LearnedTokenizer, AgreesWithTheTextbookAlgorithm) {
    const auto doc = learnTokenizer(300);
    std::mt19937 random(7);
    const std::vector<std::string> alphabet = {"a", "e", "n", "s", "t", " ", "  ", "ä", "ß", "Ü", "東", "京",
                                               "😀", "\n", ".", ",", "'s", "1", "2", "the", "er", "ei"};
    for (int round = 0; round < 300; ++round) {
        std::string text;
        const int length = std::uniform_int_distribution<int>(0, 40)(random);
        for (int i = 0; i < length; ++i) {
            text += alphabet[std::uniform_int_distribution<std::size_t>(0, alphabet.size() - 1)(random)];
        }
        ASSERT_EQ(learned().encode(text), referenceEncode(doc, text)) << text;
        ASSERT_EQ(learned().decode(learned().encode(text)), text);
    }
    ASSERT_EQ(learned().encode(kCorpus), referenceEncode(doc, kCorpus));
}

TEST(LearnedTokenizer, OneTokenizerServesSeveralThreadsAtOnce) {
    const Ids expected = learned().encode(kCorpus);
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                if (learned().encode(kCorpus) != expected || learned().decode(expected) != kCorpus) ++failures[t];
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures, (std::vector<int>{0, 0, 0, 0}));
}

TEST(LearnedTokenizer, EncodesInvalidUtf8ByteExactAndDecodesWithReplacement) {
    const std::string text = "ab\xFF" "cd\xC3" " \xE2\x82" "x\xF0\x9F\x98\x80";
    const Ids ids = learned().encode(text);
    std::string bytes;
    for (const int id : ids) bytes += *learned().tokenBytes(id);
    EXPECT_EQ(bytes, text);
    EXPECT_EQ(learned().decode(ids), "ab\xEF\xBF\xBD" "cd\xEF\xBF\xBD" " \xEF\xBF\xBD" "x😀");
}

TEST(LearnedTokenizer, EncodesLongRunsWithoutFailing) {
    const std::string spaces(300000, ' ');
    const Ids ids = learned().encode(spaces + "x");
    EXPECT_EQ(learned().decode(ids), spaces + "x");
    const std::string letters(200000, 'e');
    EXPECT_EQ(learned().decode(learned().encode(letters)), letters);
}

// ---------------------------------------------------------------------------------------
// Malformed files give a TokenizerError that says what is wrong, never a crash.

std::string errorOf(const std::string& json) {
    try {
        BpeTokenizer::fromJson(json, "t.json");
    } catch (const TokenizerError& error) {
        return error.what();
    }
    return "no error";
}

TEST(MalformedTokenizerFile, IsReportedWithTheReason) {
    const std::string pre = R"("pre_tokenizer": {"type": "ByteLevel"})";
    EXPECT_NE(errorOf("").find("t.json: is not valid JSON"), std::string::npos);
    EXPECT_NE(errorOf("{\"model\": ").find("not valid JSON"), std::string::npos);
    EXPECT_NE(errorOf("[1, 2]").find("not a JSON object"), std::string::npos);
    EXPECT_NE(errorOf("{" + pre + "}").find("has no \"model\""), std::string::npos);
    EXPECT_NE(errorOf(R"({"model": {"vocab": {}}})").find("no byte-level pre-tokenizer"), std::string::npos);
    EXPECT_NE(errorOf(R"({"pre_tokenizer": {"type": "Whitespace"}, "model": {"vocab": {}}})").find("\"Whitespace\" is not supported"),
              std::string::npos);
    EXPECT_NE(errorOf("{" + pre + R"(, "model": {"type": "WordPiece", "vocab": {}}})").find("\"WordPiece\" is not supported"),
              std::string::npos);
    EXPECT_NE(errorOf("{" + pre + R"(, "model": {"vocab": []}})").find("vocabulary is not an object"), std::string::npos);
    EXPECT_NE(errorOf("{" + pre + R"(, "model": {"vocab": {"a": "one"}}})").find("\"a\" has an id that is not a whole number"),
              std::string::npos);
    EXPECT_NE(errorOf("{" + pre + R"(, "model": {"vocab": {"a": -3}}})").find("out of range"), std::string::npos);
    EXPECT_NE(errorOf("{" + pre + R"(, "model": {"vocab": {"a": 0, "b": 1}, "merges": ["a b"]}})")
                  .find("merge 0 (\"a b\") names \"ab\", which is not in the vocabulary"),
              std::string::npos);
    EXPECT_NE(errorOf("{" + pre + R"(, "model": {"vocab": {"a": 0}, "merges": ["a"]}})").find("not two tokens"),
              std::string::npos);
    EXPECT_NE(errorOf("{" + pre + R"(, "model": {"vocab": {"a": 0}, "merges": [7]}})").find("neither"), std::string::npos);
    EXPECT_NE(errorOf("{" + pre + R"(, "model": {"vocab": {"a": 0}}, "added_tokens": [{"id": 1}]})").find("has no \"content\""),
              std::string::npos);
    EXPECT_NE(errorOf("{" + pre + R"(, "model": {"vocab": {"a": 0}}, "added_tokens": {}})").find("not a list"),
              std::string::npos);
    EXPECT_NE(errorOf("{" + pre + R"(, "decoder": {"type": "WordPiece"}, "model": {"vocab": {}}})").find("decoder"),
              std::string::npos);
    EXPECT_NE(errorOf("{" + pre + R"(, "normalizer": {"type": "NFC"}, "model": {"vocab": {}}})").find("normalizer"),
              std::string::npos);
}

TEST(MalformedTokenizerFile, MissingOrUnreadableFileNamesThePath) {
    testsupport::TempDir dir;
    try {
        BpeTokenizer::fromFile(dir / "absent.json");
        FAIL() << "no error";
    } catch (const TokenizerError& error) {
        EXPECT_NE(std::string(error.what()).find("absent.json: cannot be opened"), std::string::npos);
    }
}

TEST(MalformedTokenizerFile, ByteWithoutTokenFailsOnlyWhenEncodingIt) {
    const auto tokenizer = BpeTokenizer::fromJson(
        R"({"pre_tokenizer": {"type": "ByteLevel", "add_prefix_space": false}, "model": {"vocab": {"a": 0}}})");
    EXPECT_EQ(tokenizer.missingByte(), std::uint8_t{0});
    EXPECT_EQ(tokenizer.encode("aa"), (Ids{0, 0}));
    EXPECT_THROW(tokenizer.encode("b"), TokenizerError);
}

TEST(TokenizerOptions, PrefixSpaceAndNoRegex) {
    const std::string vocab = [] {
        nlohmann::json v;
        for (int b = 0; b < 256; ++b) v[ByteLevel::text(static_cast<std::uint8_t>(b))] = b;
        v["Ġa"] = 256;
        v["aĠ"] = 257;
        return v.dump();
    }();
    const auto withPrefix = BpeTokenizer::fromJson(
        R"({"pre_tokenizer": {"type": "ByteLevel", "add_prefix_space": true}, "model": {"vocab": )" + vocab +
        R"(, "merges": [["Ġ", "a"], "a Ġ"]}})");
    EXPECT_EQ(withPrefix.encode("a"), (Ids{256}));
    EXPECT_EQ(withPrefix.encode(" a"), (Ids{256}));
    // Without the expression the text is one piece, so "a " merges across the space.
    const auto noRegex = BpeTokenizer::fromJson(
        R"({"pre_tokenizer": {"type": "ByteLevel", "add_prefix_space": false, "use_regex": false}, "model": {"vocab": )" +
        vocab + R"(, "merges": ["a Ġ"]}})");
    EXPECT_EQ(noRegex.encode("a a"), (Ids{257, 'a'}));
}

}  // namespace
