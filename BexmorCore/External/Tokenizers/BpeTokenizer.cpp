#include "BexmorCore/External/Tokenizers/BpeTokenizer.h"

#include <climits>
#include <cstdio>
#include <fstream>
#include <queue>
#include <sstream>

#include <nlohmann/json.hpp>

#include "BexmorCore/External/Tokenizers/ByteLevel.h"
#include "Platform/ML/FilteredJson.h"
#include "BexmorCore/External/Tokenizers/TokenizerError.h"
#include "BexmorCore/External/Tokenizers/Utf8.h"

namespace bexmor {

namespace {

using Json = nlohmann::json;

// Quotes a token for a message, cut short when it is long.
std::string quote(std::string_view text) {
    std::string out = "\"";
    out += text.size() > 40 ? std::string(text.substr(0, 40)) + "…" : std::string(text);
    out += "\"";
    return out;
}

struct Reader {
    std::string source;

    [[noreturn]] void fail(const std::string& why) const { throw TokenizerError(source + ": " + why); }

    const Json& member(const Json& object, const char* key, const char* where) const {
        const auto it = object.find(key);
        if (it == object.end()) fail(std::string(where) + " has no \"" + key + "\"");
        return *it;
    }

    // A type name, or none for a missing or null stage.
    std::optional<std::string> stageType(const Json& root, const char* key) const {
        const auto it = root.find(key);
        if (it == root.end() || it->is_null()) return std::nullopt;
        if (!it->is_object()) fail(std::string("\"") + key + "\" is not an object");
        const auto type = it->find("type");
        if (type == it->end() || !type->is_string()) fail(std::string("\"") + key + "\" has no \"type\"");
        return type->get<std::string>();
    }

    bool flag(const Json& object, const char* key, bool fallback) const {
        const auto it = object.find(key);
        if (it == object.end() || it->is_null()) return fallback;
        if (!it->is_boolean()) fail(std::string("\"") + key + "\" is not true or false");
        return it->get<bool>();
    }

    int id(const Json& value, const std::string& what) const {
        if (!value.is_number_integer()) fail(what + " has an id that is not a whole number");
        const auto number = value.get<long long>();
        if (number < 0 || number > INT_MAX) fail(what + " has the id " + std::to_string(number) + ", out of range");
        return static_cast<int>(number);
    }
};

// Keeps of the file only the stages read below (the post-processor, padding and the like
// are dropped as they are parsed, as are the members of the model and of an added token
// that are not read), and checks the counts of tokens, merges and added tokens and the
// added tokens' length as they arrive, so a file beyond them fails before the rest of it
// is held.
class BoundedFilter : public platform::ml::JsonFilter {
public:
    explicit BoundedFilter(const Reader& reader) : reader_(reader) {}

    bool key(int depth, const std::string& key) override {
        if (depth == 1) {
            section_ = key;
            member_.clear();
            return key == "model" || key == "added_tokens" || key == "pre_tokenizer" || key == "decoder" ||
                   key == "normalizer";
        }
        if (depth == 2 && section_ == "model") {
            member_ = key;
            return key == "type" || key == "vocab" || key == "merges" || key == "unk_token" ||
                   key == "continuing_subword_prefix" || key == "end_of_word_suffix";
        }
        if (depth == 3 && section_ == "added_tokens") {
            addedKey_ = key;
            return key == "id" || key == "content" || key == "special";
        }
        if (depth == 3 && section_ == "model" && member_ == "vocab") {
            count(tokens_, BpeTokenizer::maxVocabulary, "tokens in its vocabulary");
        }
        return true;
    }
    bool container(int depth, bool) override {
        if (depth == 2 && section_ == "added_tokens") {
            count(added_, BpeTokenizer::maxAddedTokens, "added tokens");
            addedKey_.clear();
        }
        if (depth == 3 && section_ == "model" && member_ == "merges") count(merges_, BpeTokenizer::maxMerges, "merges");
        return true;
    }
    void value(int depth, const Json& value) override {
        if (depth == 3 && section_ == "model" && member_ == "merges") count(merges_, BpeTokenizer::maxMerges, "merges");
        if (depth == 3 && section_ == "added_tokens" && addedKey_ == "content" && value.is_string()) {
            addedBytes_ += value.get_ref<const std::string&>().size();
            if (addedBytes_ > BpeTokenizer::maxAddedTokenBytes) tooMany(BpeTokenizer::maxAddedTokenBytes, "bytes of added tokens");
        }
    }

private:
    void count(std::size_t& counter, std::size_t limit, const char* what) const {
        if (++counter > limit) tooMany(limit, what);
    }
    [[noreturn]] void tooMany(std::size_t limit, const char* what) const {
        reader_.fail("has more than " + std::to_string(limit) + " " + what + ", more than any real tokenizer");
    }

    const Reader& reader_;
    std::string section_;   // the top-level member being read
    std::string member_;    // the member of "model" being read
    std::string addedKey_;  // the member of an added token being read
    std::size_t tokens_ = 0;
    std::size_t merges_ = 0;
    std::size_t added_ = 0;
    std::size_t addedBytes_ = 0;
};

Json parseBounded(std::string_view text, const Reader& reader) {
    BoundedFilter filter(reader);
    try {
        return platform::ml::parseFiltered(text, filter);
    } catch (const Json::exception& error) {
        // Not only syntax: a number too large for its type (1e999) is the reader's
        // out_of_range, which must not escape as the JSON library's own error either.
        reader.fail(std::string("is not valid JSON (") + error.what() + ")");
    }
}

}  // namespace

BpeTokenizer BpeTokenizer::fromFile(const std::filesystem::path& path) {
    std::ifstream stream(path, std::ios::binary | std::ios::ate);
    if (!stream) throw TokenizerError(path.string() + ": cannot be opened");
    // Read in one piece of the file's size: the text is held once, not grown by doubling.
    const auto size = static_cast<std::streamoff>(stream.tellg());
    if (size < 0) throw TokenizerError(path.string() + ": cannot be read");
    if (std::size_t(size) > maxFileBytes) {
        throw TokenizerError(path.string() + ": " + std::to_string(size) + " bytes, more than any real tokenizer (" +
                             std::to_string(maxFileBytes) + ")");
    }
    std::string text(std::size_t(size), '\0');
    stream.seekg(0);
    if (!stream.read(text.data(), size)) throw TokenizerError(path.string() + ": cannot be read");
    return fromJson(text, path.string());
}

BpeTokenizer BpeTokenizer::fromJson(std::string_view jsonText, std::string_view source) {
    const Reader reader{std::string(source)};
    if (jsonText.size() > maxFileBytes) {
        reader.fail(std::to_string(jsonText.size()) + " bytes, more than any real tokenizer (" +
                    std::to_string(maxFileBytes) + ")");
    }
    const Json root = parseBounded(jsonText, reader);
    if (!root.is_object()) reader.fail("is not a JSON object");

    try {
        // Only the stages a byte-level BPE tokenizer of this model family uses are read;
        // anything else would tokenize differently, so it is refused rather than ignored.
        if (const auto normalizer = reader.stageType(root, "normalizer")) {
            reader.fail("the normalizer " + quote(*normalizer) + " is not supported");
        }
        const auto preType = reader.stageType(root, "pre_tokenizer");
        if (preType != "ByteLevel") {
            reader.fail(preType ? "the pre-tokenizer " + quote(*preType) + " is not supported, only ByteLevel"
                                : std::string("has no byte-level pre-tokenizer"));
        }
        if (const auto decoderType = reader.stageType(root, "decoder"); decoderType && *decoderType != "ByteLevel") {
            reader.fail("the decoder " + quote(*decoderType) + " is not supported, only ByteLevel");
        }
        const Json& pre = root.at("pre_tokenizer");
        BpeTokenizer tokenizer(ByteLevelPreTokenizer(reader.flag(pre, "add_prefix_space", true),
                                                     reader.flag(pre, "use_regex", true)));

        const Json& model = reader.member(root, "model", "the file");
        if (!model.is_object()) reader.fail("\"model\" is not an object");
        if (const auto type = model.find("type"); type != model.end() && *type != "BPE") {
            reader.fail("the model " + quote(type->is_string() ? type->get<std::string>() : type->dump()) +
                        " is not supported, only BPE");
        }
        for (const char* key : {"continuing_subword_prefix", "end_of_word_suffix"}) {
            const auto it = model.find(key);
            if (it != model.end() && !it->is_null() && !(it->is_string() && it->get<std::string>().empty())) {
                reader.fail(std::string("the model's \"") + key + "\" is not supported");
            }
        }

        // Vocabulary.
        const Json& vocab = reader.member(model, "vocab", "\"model\"");
        if (!vocab.is_object()) reader.fail("the vocabulary is not an object of token and id");
        tokenizer.vocabulary_.reserve(vocab.size());
        tokenizer.tokens_.reserve(vocab.size() + 2048);
        for (const auto& [token, value] : vocab.items()) {
            const int id = reader.id(value, "the token " + quote(token));
            tokenizer.vocabulary_.emplace(token, id);
            Entry entry;
            entry.token = token;
            // A token outside the byte-level alphabet decodes to its own text.
            entry.bytes = ByteLevel::decode(token).value_or(token);
            tokenizer.tokens_.insert_or_assign(id, std::move(entry));
        }
        for (int b = 0; b < 256; ++b) {
            const auto it = tokenizer.vocabulary_.find(ByteLevel::text(static_cast<std::uint8_t>(b)));
            tokenizer.byteIds_[b] = it == tokenizer.vocabulary_.end() ? -1 : it->second;
        }
        if (const auto unk = model.find("unk_token"); unk != model.end() && !unk->is_null()) {
            if (!unk->is_string()) reader.fail("the model's \"unk_token\" is not text");
            const auto it = tokenizer.vocabulary_.find(unk->get<std::string>());
            if (it == tokenizer.vocabulary_.end()) {
                reader.fail("the unknown token " + quote(unk->get<std::string>()) + " is not in the vocabulary");
            }
            tokenizer.unknownId_ = it->second;
        }

        // Merges: "left right" or ["left", "right"]; the rank is the position.
        const auto mergesIt = model.find("merges");
        if (mergesIt != model.end() && !mergesIt->is_null()) {
            if (!mergesIt->is_array()) reader.fail("the merges are not a list");
            tokenizer.merges_.reserve(mergesIt->size());
            int rank = 0;
            for (const Json& merge : *mergesIt) {
                const std::string where = "merge " + std::to_string(rank);
                std::string left;
                std::string right;
                if (merge.is_string()) {
                    const std::string text = merge.get<std::string>();
                    const auto space = text.find(' ');
                    if (space == std::string::npos || space == 0 || space + 1 == text.size() ||
                        text.find(' ', space + 1) != std::string::npos) {
                        reader.fail(where + " (" + quote(text) + ") is not two tokens separated by one space");
                    }
                    left = text.substr(0, space);
                    right = text.substr(space + 1);
                } else if (merge.is_array() && merge.size() == 2 && merge[0].is_string() && merge[1].is_string()) {
                    left = merge[0].get<std::string>();
                    right = merge[1].get<std::string>();
                } else {
                    reader.fail(where + " is neither \"left right\" nor a pair of tokens");
                }
                const auto find = [&](const std::string& token) {
                    const auto it = tokenizer.vocabulary_.find(token);
                    if (it == tokenizer.vocabulary_.end()) {
                        reader.fail(where + " (" + quote(left + " " + right) + ") names " + quote(token) +
                                    ", which is not in the vocabulary");
                    }
                    return it->second;
                };
                const int leftId = find(left);
                const int rightId = find(right);
                const int mergedId = find(left + right);
                tokenizer.merges_.try_emplace(pairKey(leftId, rightId), Merge{rank, mergedId});
                ++rank;
            }
        }

        // Added tokens: their own text, matched whole before splitting.
        if (const auto added = root.find("added_tokens"); added != root.end() && !added->is_null()) {
            if (!added->is_array()) reader.fail("\"added_tokens\" is not a list");
            for (const Json& item : *added) {
                if (!item.is_object()) reader.fail("an added token is not an object");
                const Json& content = reader.member(item, "content", "an added token");
                if (!content.is_string()) reader.fail("an added token's content is not text");
                AddedToken token;
                token.content = content.get<std::string>();
                token.id = reader.id(reader.member(item, "id", "an added token"), "the added token " + quote(token.content));
                token.special = reader.flag(item, "special", false);
                if (token.content.empty()) reader.fail("an added token has empty content");
                tokenizer.addedByContent_.try_emplace(token.content, token.id);
                tokenizer.tokens_.insert_or_assign(token.id, Entry{token.content, token.content, token.special});
                tokenizer.addedTokens_.push_back(std::move(token));
            }
            std::vector<std::pair<std::string, int>> contents;
            contents.reserve(tokenizer.addedTokens_.size());
            for (const AddedToken& token : tokenizer.addedTokens_) contents.emplace_back(token.content, token.id);
            tokenizer.addedMatcher_ = AddedTokenMatcher(contents);
        }
        return tokenizer;
    } catch (const Json::exception& error) {
        reader.fail(std::string("has an unexpected shape (") + error.what() + ")");
    }
}

std::vector<int> BpeTokenizer::encode(std::string_view text) const {
    std::vector<int> ids;
    ids.reserve(text.size() / 3 + 4);
    encode(text, ids);
    return ids;
}

void BpeTokenizer::encode(std::string_view text, std::vector<int>& ids) const {
    const auto encodeSegment = [&](std::string_view segment) {
        if (segment.empty()) return;
        preTokenizer_.split(segment, [&](std::string_view piece) { mergePiece(piece, ids); });
    };
    std::size_t position = 0;
    for (const auto& match : addedMatcher_.findAll(text)) {
        encodeSegment(text.substr(position, match.start - position));
        ids.push_back(match.id);
        position = match.start + match.length;
    }
    encodeSegment(text.substr(position));
}

void BpeTokenizer::mergePiece(std::string_view piece, std::vector<int>& ids) const {
    const auto byteId = [&](unsigned char byte) {
        const int id = byteIds_[byte];
        if (id >= 0) return id;
        if (unknownId_) return *unknownId_;
        char hex[8];
        std::snprintf(hex, sizeof hex, "0x%02X", byte);
        throw TokenizerError(std::string("the vocabulary has no token for the byte ") + hex);
    };
    const std::size_t count = piece.size();
    if (count == 1) {
        ids.push_back(byteId(static_cast<unsigned char>(piece[0])));
        return;
    }

    // Symbols form a linked list; candidate pairs wait in a queue ordered by merge rank,
    // then by position. An entry whose symbols changed since it was queued is stale.
    std::vector<int> symbol(count);
    std::vector<int> next(count);
    std::vector<int> previous(count);
    for (std::size_t i = 0; i < count; ++i) {
        symbol[i] = byteId(static_cast<unsigned char>(piece[i]));
        next[i] = i + 1 < count ? int(i + 1) : -1;
        previous[i] = int(i) - 1;
    }
    struct Candidate {
        int rank;
        int left;
        int right;
        int leftId;
        int rightId;
        bool operator>(const Candidate& other) const {
            return rank != other.rank ? rank > other.rank : left > other.left;
        }
    };
    std::priority_queue<Candidate, std::vector<Candidate>, std::greater<>> queue;
    const auto consider = [&](int left) {
        if (left < 0) return;
        const int right = next[left];
        if (right < 0) return;
        const auto it = merges_.find(pairKey(symbol[left], symbol[right]));
        if (it != merges_.end()) queue.push({it->second.rank, left, right, symbol[left], symbol[right]});
    };
    for (std::size_t i = 0; i + 1 < count; ++i) consider(int(i));

    std::vector<bool> removed(count, false);
    while (!queue.empty()) {
        const Candidate candidate = queue.top();
        queue.pop();
        const int left = candidate.left;
        const int right = candidate.right;
        if (removed[left] || removed[right] || next[left] != right || symbol[left] != candidate.leftId ||
            symbol[right] != candidate.rightId) {
            continue;
        }
        symbol[left] = merges_.at(pairKey(candidate.leftId, candidate.rightId)).id;
        removed[right] = true;
        next[left] = next[right];
        if (next[right] >= 0) previous[next[right]] = left;
        consider(previous[left]);
        consider(left);
    }
    for (int i = 0; i >= 0; i = next[i]) ids.push_back(symbol[i]);
}

std::string BpeTokenizer::decode(std::span<const int> ids, bool skipSpecialTokens) const {
    std::string bytes;
    for (const int id : ids) {
        const auto it = tokens_.find(id);
        if (it == tokens_.end()) continue;  // not ours: a caller's mistake, never a crash
        if (skipSpecialTokens && it->second.special) continue;
        bytes += it->second.bytes;
    }
    return utf8::decodeLossy(bytes);
}

std::optional<std::uint8_t> BpeTokenizer::missingByte() const {
    for (int b = 0; b < 256; ++b) {
        if (byteIds_[b] < 0) return static_cast<std::uint8_t>(b);
    }
    return std::nullopt;
}

std::optional<int> BpeTokenizer::tokenToId(std::string_view token) const {
    const std::string key(token);
    if (const auto it = addedByContent_.find(key); it != addedByContent_.end()) return it->second;
    if (const auto it = vocabulary_.find(key); it != vocabulary_.end()) return it->second;
    return std::nullopt;
}

std::optional<std::string> BpeTokenizer::idToToken(int id) const {
    const auto it = tokens_.find(id);
    if (it == tokens_.end()) return std::nullopt;
    return it->second.token;
}

std::optional<std::string> BpeTokenizer::tokenBytes(int id) const {
    const auto it = tokens_.find(id);
    if (it == tokens_.end()) return std::nullopt;
    return it->second.bytes;
}

}  // namespace bexmor
