#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

#include "BexmorCore/External/Tokenizers/AddedTokenMatcher.h"
#include "BexmorCore/External/Tokenizers/BpeTokenizer.h"
#include "BexmorCore/External/Tokenizers/ByteLevel.h"
#include "BexmorCore/External/Tokenizers/TokenizerError.h"
#include "support/TempDir.h"
#include "support/Thrown.h"
#include "TestPaths.h"

using bexmor::AddedTokenMatcher;
using bexmor::BpeTokenizer;
using bexmor::ByteLevel;
using bexmor::TokenizerError;
using testing::HasSubstr;
using Ids = std::vector<int>;
using Symbols = std::vector<std::string>;

namespace {

const BpeTokenizer& handwritten() {
    static const BpeTokenizer tokenizer =
        BpeTokenizer::fromFile(std::filesystem::path(testsupport::kFixturesDir) / "tokenizers" / "handwritten.json");
    return tokenizer;
}

// In the hand-written file, byte b is id b, the n-th merge makes id 256 + n and the added
// tokens start at 280 ("<|endoftext|>"); "<|en|>" is 282, "[X]" 292 and "[X]Y" 293.
TEST(HandwrittenTokenizer, SplitsFindsAddedTokensAndMergesByRank) {
    const std::pair<const char*, Ids> cases[] = {
        // " hello": "Ġ h" (rank 4) is the leftmost pair, but "l l", "e ll", "h ell" and
        // "hell o" rank lower, so "hello" forms first and "Ġ" stays alone.
        {" hello", {32, 259}}, {" world", {265}}, {"hello world", {259, 265}},
        {"xyz", {120, 270}},  // "y z" (14) beats "x y" (15) although it lies to the right
        {"abc", {268, 99}},
        {"aaa", {266, 97}}, {"aaaa", {267}}, {"aaaaa", {267, 97}},  // equal ranks: leftmost first
        {"ä", {272}}, {"ü", {0xC3, 0xBC}},  // multi-byte characters merge from their bytes
        // Pieces are merged apart: contractions, and all but the last blank before a word.
        {"it's", {'i', 't', '\'', 's'}}, {"a  b", {'a', ' ', ' ', 'b'}}, {"l l", {'l', ' ', 'l'}}, {"ll", {256}},
        {"", {}},
        // Added tokens: leftmost, then longest, found before splitting; one cut short is text.
        {"<|endoftext|>", {280}}, {"a[X]Yb", {'a', 293, 'b'}}, {"[X]Z", {292, 'Z'}},
        {"hello<|en|>hello", {259, 282, 259}}, {"<|en|", {'<', '|', 'e', 'n', '|'}},
    };
    for (const auto& [text, ids] : cases) EXPECT_EQ(handwritten().encode(text), ids) << text;
}

TEST(HandwrittenTokenizer, DecodesWithReplacementSkipsUnknownIdsAndNeverThrows) {
    const std::string r = "\xEF\xBF\xBD";
    const std::tuple<Ids, bool, std::string> cases[] = {
        {{280, 259, 265}, false, "<|endoftext|>hello world"},
        {{280, 259, 265}, true, "hello world"},
        {{259, -1, 275, 100000, 265}, false, "hello world"},
        {{0xC3, 'a'}, false, r + "a"},
        {{0xF0, 0x9F, 0x98, 'x'}, false, r + "x"},  // one U+FFFD for the maximal subpart
        {{0x80, 0x80}, false, r + r},
        {{0xED, 0xA0, 0x80}, false, r + r + r},  // an encoded surrogate
        {{0xC3, 0xBC}, false, "ü"},  // a character split across two tokens joins again
    };
    for (const auto& [ids, skipSpecial, text] : cases) EXPECT_EQ(handwritten().decode(ids, skipSpecial), text) << text;
}

// ---------------------------------------------------------------------------------------
// A tokenizer with many merges, learned here from mixed-language text so that merges cross
// multi-byte characters, spaces and punctuation like a real one's.

const char* const kCorpus =
    "Über den Wolken muss die Freiheit wohl grenzenlos sein. Größe, Straße, Äpfel und Öl. "
    "The quick brown fox jumps over the lazy dog; it's what we'll do, isn't it? "
    "東京は日本の首都です。我们今天去公园散步。한국어도 조금 합니다. "
    "Emoji: 😀😃 👍🏽 👨‍👩‍👧 🇩🇪 — “quotes” «guillemets» 12345 3,14 ½ ⅓ "
    "Tabs\tand\nnew lines\r\n  and   runs   of    spaces. ";

Symbols byteSymbols(const std::string& piece) {
    Symbols symbols;
    for (const char c : piece) symbols.push_back(ByteLevel::text(static_cast<std::uint8_t>(c)));
    return symbols;
}

// Replaces every adjacent (left, right), left to right, by the merged symbol.
void mergeAll(Symbols& word, const std::pair<std::string, std::string>& pair) {
    Symbols merged;
    for (std::size_t i = 0; i < word.size(); ++i) {
        if (i + 1 < word.size() && word[i] == pair.first && word[i + 1] == pair.second) {
            merged.push_back(pair.first + pair.second);
            ++i;
        } else {
            merged.push_back(word[i]);
        }
    }
    word = merged;
}

nlohmann::json byteVocabulary() {
    nlohmann::json vocab = nlohmann::json::object();
    for (int b = 0; b < 256; ++b) vocab[ByteLevel::text(static_cast<std::uint8_t>(b))] = b;
    return vocab;
}

// Plain GPT-2 style training: repeatedly merge the most frequent adjacent pair.
nlohmann::json learnTokenizer(int mergeCount) {
    nlohmann::json vocab = byteVocabulary();
    std::vector<Symbols> words;
    for (const auto& piece : bexmor::ByteLevelPreTokenizer(false, true).split(kCorpus)) words.push_back(byteSymbols(piece));
    nlohmann::json merges = nlohmann::json::array();
    for (int m = 0; m < mergeCount; ++m) {
        std::map<std::pair<std::string, std::string>, int> counts;
        for (const auto& w : words)
            for (std::size_t i = 0; i + 1 < w.size(); ++i) ++counts[{w[i], w[i + 1]}];
        if (counts.empty()) break;
        const auto best = std::max_element(counts.begin(), counts.end(),
                                           [](const auto& a, const auto& b) { return a.second < b.second; })->first;
        merges.push_back(best.first + " " + best.second);
        vocab.emplace(best.first + best.second, vocab.size());
        for (auto& w : words) mergeAll(w, best);
    }
    return {{"pre_tokenizer", {{"type", "ByteLevel"}, {"add_prefix_space", false}, {"use_regex", true}}},
            {"decoder", {{"type", "ByteLevel"}}},
            {"model", {{"type", "BPE"}, {"vocab", vocab}, {"merges", merges}}},
            {"added_tokens", nlohmann::json::array({{{"id", 100000}, {"content", "<|endoftext|>"}, {"special", true}}})}};
}

const nlohmann::json& learnedFile() {
    static const nlohmann::json file = learnTokenizer(300);
    return file;
}

const BpeTokenizer& learned() {
    static const BpeTokenizer tokenizer = BpeTokenizer::fromJson(learnedFile().dump());
    return tokenizer;
}

// The textbook algorithm, slow and obviously right: merge the lowest-ranked pair (all
// its occurrences, left to right) until none is left.
Ids referenceEncode(const std::string& text) {
    std::map<std::pair<std::string, std::string>, int> ranks;
    for (const auto& m : learnedFile()["model"]["merges"]) {
        const std::string s = m.get<std::string>();
        ranks.emplace(std::make_pair(s.substr(0, s.find(' ')), s.substr(s.find(' ') + 1)), int(ranks.size()));
    }
    Ids ids;
    for (const auto& piece : bexmor::ByteLevelPreTokenizer(false, true).split(text)) {
        Symbols w = byteSymbols(piece);
        for (;;) {
            std::optional<std::pair<int, std::pair<std::string, std::string>>> best;
            for (std::size_t i = 0; i + 1 < w.size(); ++i) {
                const auto it = ranks.find({w[i], w[i + 1]});
                if (it != ranks.end() && (!best || it->second < best->first)) best.emplace(it->second, it->first);
            }
            if (!best) break;
            mergeAll(w, best->second);
        }
        for (const auto& symbol : w) ids.push_back(learnedFile()["model"]["vocab"][symbol].get<int>());
    }
    return ids;
}

TEST(LearnedTokenizer, AgreesWithTheTextbookAlgorithmAndRoundTrips) {
    std::vector<std::string> texts = {
        kCorpus, "Größere Äpfel schmecken süßer, sagte Jürgen.", "東京は日本の首都です。", "👨‍👩‍👧 🇩🇪 👍🏽 😀",
        " leading and trailing  ", "\n\n  x\t\ty\r\n", "mixed: Straße東京😀abc", "",
    };
    std::mt19937 random(7);
    const std::vector<std::string> alphabet = {"a", "e", "n", "s", "t", " ", "  ", "ä", "ß", "Ü", "東", "京",
                                               "😀", "\n", ".", ",", "'s", "1", "2", "the", "er", "ei"};
    for (int round = 0; round < 300; ++round) {
        std::string text;
        for (int i = std::uniform_int_distribution<int>(0, 40)(random); i > 0; --i) text += alphabet[random() % alphabet.size()];
        texts.push_back(text);
    }
    for (const auto& text : texts) {
        const Ids ids = learned().encode(text);
        ASSERT_EQ(ids, referenceEncode(text)) << text;
        ASSERT_EQ(learned().decode(ids), text);
    }
}

TEST(LearnedTokenizer, ServesSeveralThreadsAtOnce) {
    const Ids expected = learned().encode(kCorpus);
    std::atomic<int> failures = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 50; ++i) failures += learned().encode(kCorpus) != expected || learned().decode(expected) != kCorpus;
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures, 0);
}

TEST(LearnedTokenizer, EncodesInvalidUtf8ByteExactAndLongRunsWithoutFailing) {
    const std::string text = "ab\xFF" "cd\xC3" " \xE2\x82" "x\xF0\x9F\x98\x80";
    const Ids ids = learned().encode(text);
    std::string bytes;
    for (const int id : ids) bytes += *learned().tokenBytes(id);
    EXPECT_EQ(bytes, text);
    EXPECT_EQ(learned().decode(ids), "ab\xEF\xBF\xBD" "cd\xEF\xBF\xBD" " \xEF\xBF\xBD" "x😀");
    for (const std::string& run : {std::string(300000, ' ') + "x", std::string(200000, 'e')})
        EXPECT_EQ(learned().decode(learned().encode(run)), run);
}

// ---------------------------------------------------------------------------------------
// Tokenizer files are downloaded or picked by the user: whatever they hold, loading fails
// with the tokenizer's own error naming the file, never a crash.

const auto errorOf = [](auto&& load) { return testsupport::messageOf<TokenizerError>(load); };

// Every byte is a token (id = byte), no merges, and the given added tokens from id 256.
std::string byteTokenizer(const std::vector<std::string>& added) {
    nlohmann::json addedTokens = nlohmann::json::array();
    for (const auto& content : added) addedTokens.push_back({{"id", 256 + addedTokens.size()}, {"content", content}, {"special", true}});
    return nlohmann::json{{"model", {{"type", "BPE"}, {"vocab", byteVocabulary()}, {"merges", nlohmann::json::array()}}},
                          {"pre_tokenizer", {{"type", "ByteLevel"}, {"add_prefix_space", false}}},
                          {"added_tokens", addedTokens}}
        .dump();
}

TEST(MalformedTokenizerFile, IsReportedWithTheFileAndTheReason) {
    const std::string pre = R"({"pre_tokenizer": {"type": "ByteLevel"}, )";
    const std::string valid = byteTokenizer({"<|x|>"});
    const auto edit = [&](const std::string& from, const std::string& to) {
        std::string text = valid;
        return text.replace(text.find(from), from.size(), to);
    };
    const std::pair<std::string, std::string> cases[] = {
        {"", "is not valid JSON"}, {"{\"model\": ", "not valid JSON"}, {"[1, 2]", "not a JSON object"},
        {pre + "\"x\": 1}", "has no \"model\""},
        {R"({"model": {"vocab": {}}})", "no byte-level pre-tokenizer"},
        {R"({"pre_tokenizer": {"type": "Whitespace"}, "model": {"vocab": {}}})", "\"Whitespace\" is not supported"},
        {pre + R"("model": {"type": "WordPiece", "vocab": {}}})", "\"WordPiece\" is not supported"},
        {pre + R"("model": {"vocab": []}})", "vocabulary is not an object"},
        {pre + R"("model": {"vocab": {"a": "one"}}})", "\"a\" has an id that is not a whole number"},
        {pre + R"("model": {"vocab": {"a": -3}}})", "out of range"},
        {pre + R"("model": {"vocab": {"a": 0, "b": 1}, "merges": ["a b"]}})",
         "merge 0 (\"a b\") names \"ab\", which is not in the vocabulary"},
        {pre + R"("model": {"vocab": {"a": 0}, "merges": ["a"]}})", "not two tokens"},
        {pre + R"("model": {"vocab": {"a": 0}, "merges": [7]}})", "neither"},
        {pre + R"("model": {"vocab": {"a": 0}}, "added_tokens": [{"id": 1}]})", "has no \"content\""},
        {pre + R"("model": {"vocab": {"a": 0}}, "added_tokens": {}})", "not a list"},
        {pre + R"("decoder": {"type": "WordPiece"}, "model": {"vocab": {}}})", "decoder"},
        {pre + R"("normalizer": {"type": "NFC"}, "model": {"vocab": {}}})", "normalizer"},
        // Numbers beyond a double wherever they stand, also where nothing reads them.
        {edit("\"merges\":[]", "\"merges\":[1e999]"), ""},
        {edit("\"special\":true", "\"special\":-1e999"), ""},
        {edit("{\"added_tokens\"", "{\"extra\":[[1E+400]],\"added_tokens\""), ""},
    };
    for (const auto& [json, reason] : cases) {
        const std::string message = errorOf([&] { BpeTokenizer::fromJson(json, "dir/t.json"); });
        EXPECT_THAT(message, HasSubstr("dir/t.json: ")) << json;
        EXPECT_THAT(message, HasSubstr(reason)) << json;
    }
    testsupport::TempDir dir;
    EXPECT_THAT(errorOf([&] { BpeTokenizer::fromFile(dir / "absent.json"); }), HasSubstr("absent.json: cannot be opened"));
}

TEST(MalformedTokenizerFile, ByteWithoutTokenFailsOnlyWhenEncodingIt) {
    const auto tokenizer = BpeTokenizer::fromJson(
        R"({"pre_tokenizer": {"type": "ByteLevel", "add_prefix_space": false}, "model": {"vocab": {"a": 0}}})");
    EXPECT_EQ(tokenizer.missingByte(), std::uint8_t{0});
    EXPECT_EQ(tokenizer.encode("aa"), (Ids{0, 0}));
    EXPECT_THROW(tokenizer.encode("b"), TokenizerError);
}

TEST(TokenizerOptions, PrefixSpaceAndNoRegex) {
    nlohmann::json vocab = byteVocabulary();
    vocab["Ġa"] = 256;
    vocab["aĠ"] = 257;
    const auto load = [&](const char* options, const char* merges) {
        return BpeTokenizer::fromJson(std::string(R"({"pre_tokenizer": {"type": "ByteLevel", )") + options +
                                      R"(}, "model": {"vocab": )" + vocab.dump() + R"(, "merges": )" + merges + "}}");
    };
    const auto withPrefix = load(R"("add_prefix_space": true)", R"([["Ġ", "a"], "a Ġ"])");
    EXPECT_EQ(withPrefix.encode("a"), (Ids{256}));
    EXPECT_EQ(withPrefix.encode(" a"), (Ids{256}));
    // Without the expression the text is one piece, so "a " merges across the space.
    EXPECT_EQ(load(R"("add_prefix_space": false, "use_regex": false)", R"(["a Ġ"])").encode("a a"), (Ids{257, 'a'}));
}

// A file that does not say whether a space goes before the text gets one, as the common
// tokenizer files' readers do; saying so either way is obeyed. Decoding keeps the space.
TEST(TokenizerOptions, PrefixSpaceIsOnWhenTheFileLeavesItOut) {
    nlohmann::json vocab = byteVocabulary();
    vocab["Ġa"] = 256;
    struct Case {
        const char* preTokenizer;
        Ids encoded;
    };
    const Case cases[] = {
        {R"({"type": "ByteLevel"})", {256}},
        {R"({"type": "ByteLevel", "use_regex": true, "trim_offsets": false})", {256}},
        {R"({"type": "ByteLevel", "add_prefix_space": null})", {256}},
        {R"({"type": "ByteLevel", "add_prefix_space": true})", {256}},
        {R"({"type": "ByteLevel", "add_prefix_space": false})", {'a'}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.preTokenizer);
        const auto tokenizer = BpeTokenizer::fromJson(std::string(R"({"pre_tokenizer": )") + c.preTokenizer +
                                                      R"(, "model": {"vocab": )" + vocab.dump() +
                                                      R"(, "merges": [["Ġ", "a"]]}})");
        EXPECT_EQ(tokenizer.encode("a"), c.encoded);
        EXPECT_EQ(tokenizer.encode(" a"), (Ids{256}));
        EXPECT_EQ(tokenizer.decode(c.encoded), c.encoded.size() == 1 && c.encoded[0] == 256 ? " a" : "a");
    }
}

// The reference: at each position the longest token starting there, leftmost first.
std::vector<AddedTokenMatcher::Match> naiveMatches(const std::string& text,
                                                   const std::vector<std::pair<std::string, int>>& tokens) {
    std::vector<AddedTokenMatcher::Match> matches;
    for (std::size_t p = 0; p < text.size();) {
        std::optional<AddedTokenMatcher::Match> best;
        for (const auto& [content, id] : tokens) {
            if (text.compare(p, content.size(), content) == 0 && (!best || content.size() > best->length))
                best = AddedTokenMatcher::Match{p, content.size(), id};
        }
        if (best) matches.push_back(*best);
        p += best ? best->length : 1;
    }
    return matches;
}

TEST(AddedTokens, MatchLeftmostLongestLikeTheNaiveSearch) {
    std::mt19937 random(7);
    const auto word = [&](std::size_t maxLength) {
        std::string s(1 + random() % maxLength, 'a');
        for (char& c : s) c = char('a' + random() % 3);
        return s;
    };
    for (int round = 0; round < 300; ++round) {
        std::vector<std::pair<std::string, int>> tokens;
        for (int i = 0, count = 1 + int(random() % 6); i < count; ++i) tokens.emplace_back(word(6), i);
        if (round % 5 == 0) tokens.emplace_back(tokens.front().first, 99);  // a repeat keeps its first id
        const std::string text = word(120);
        EXPECT_EQ(AddedTokenMatcher(tokens).findAll(text), naiveMatches(text, tokens)) << text;
    }
}

TEST(AddedTokens, ALongTokenWhosePrefixesFillTheTextIsFoundWhole) {
    // Every prefix of the token occurs all over the text, and only the end holds it whole.
    std::string token;
    for (int i = 0; i < 2048; ++i) token += "a ";
    token += "b";
    const BpeTokenizer tokenizer = BpeTokenizer::fromJson(byteTokenizer({"a a b", token}));
    std::string text;
    for (int i = 0; i < 1 << 18; ++i) text += "a ";
    text += token;
    const Ids ids = tokenizer.encode(text);
    ASSERT_EQ(ids.size(), (std::size_t(1) << 19) + 1);
    EXPECT_EQ(ids.front(), 'a');
    EXPECT_EQ(ids.back(), 257);
    EXPECT_EQ(tokenizer.decode(ids), text);
}

}  // namespace
