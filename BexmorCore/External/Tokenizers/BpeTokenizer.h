#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "BexmorCore/External/Tokenizers/AddedTokenMatcher.h"
#include "BexmorCore/External/Tokenizers/ByteLevelPreTokenizer.h"

namespace bexmor {

// A byte-level byte-pair tokenizer read from a "tokenizer.json" in the common tokenizer
// file layout: a BPE model (vocabulary and ranked merges), the byte-level pre-tokenizer
// and decoder, and added tokens.
//
// Encoding: added tokens are found whole in the raw text (leftmost, then longest); the
// text between them is split by the pre-tokenizer, each piece's bytes become byte-level
// symbols, and adjacent symbols are merged, lowest merge rank first (leftmost among
// equals), until no merge applies. Encoding adds no special tokens of its own.
//
// Decoding joins the bytes of all tokens (an added token gives its own text) and reads
// them as UTF-8, replacing ill-formed parts with U+FFFD; ids the tokenizer does not know
// are skipped. Decoding never throws.
//
// A loaded tokenizer is immutable; every const member may be used from several threads.
class BpeTokenizer {
public:
    struct AddedToken {
        int id = 0;
        std::string content;
        bool special = false;
    };

    // A tokenizer file may come from anywhere, so what it may make the reader hold is
    // bounded, well above any real tokenizer (about 50,000 tokens, 50,000 merges and 1,600
    // added tokens of a few bytes each): beyond a bound the file is refused while it is
    // read, before it costs more than a few times its size.
    static constexpr std::size_t maxFileBytes = std::size_t(256) << 20;
    static constexpr std::size_t maxVocabulary = 262144;
    // A merge makes a token of the vocabulary: there are no more merges than tokens.
    static constexpr std::size_t maxMerges = maxVocabulary;
    static constexpr std::size_t maxAddedTokens = 100000;
    // All added tokens' texts together: the matcher holds a node per byte of them.
    static constexpr std::size_t maxAddedTokenBytes = std::size_t(1) << 20;

    // Reads and checks a tokenizer file; throws TokenizerError naming the file and the
    // problem when it cannot be read or is not a byte-level BPE tokenizer.
    static BpeTokenizer fromFile(const std::filesystem::path& path);
    // The same from the file's text; `source` names it in error messages.
    static BpeTokenizer fromJson(std::string_view json, std::string_view source = "tokenizer.json");

    std::vector<int> encode(std::string_view text) const;
    // Appends the ids of one text to `ids`.
    void encode(std::string_view text, std::vector<int>& ids) const;

    // With skipSpecialTokens, added tokens marked special are left out.
    std::string decode(std::span<const int> ids, bool skipSpecialTokens = false) const;

    // The id of a token as the file writes it (byte-level text, or an added token's text).
    std::optional<int> tokenToId(std::string_view token) const;
    // The token of an id as the file writes it.
    std::optional<std::string> idToToken(int id) const;
    // The bytes an id stands for when decoded.
    std::optional<std::string> tokenBytes(int id) const;

    // The first byte the vocabulary has no token for, none when every byte has one (only
    // then can any text be encoded without an unknown token).
    std::optional<std::uint8_t> missingByte() const;

    const std::vector<AddedToken>& addedTokens() const { return addedTokens_; }
    // The number of distinct ids, vocabulary and added tokens together.
    std::size_t size() const { return tokens_.size(); }
    const ByteLevelPreTokenizer& preTokenizer() const { return preTokenizer_; }

private:
    struct Entry {
        std::string token;  // as the file writes it
        std::string bytes;  // what it decodes to
        bool special = false;
    };
    struct Merge {
        int rank = 0;
        int id = 0;
    };

    BpeTokenizer(ByteLevelPreTokenizer preTokenizer) : preTokenizer_(std::move(preTokenizer)) {}
    void mergePiece(std::string_view piece, std::vector<int>& ids) const;
    static std::uint64_t pairKey(int left, int right) {
        return (std::uint64_t(std::uint32_t(left)) << 32) | std::uint32_t(right);
    }

    ByteLevelPreTokenizer preTokenizer_;
    std::unordered_map<std::string, int> vocabulary_;
    std::unordered_map<std::string, int> addedByContent_;
    std::unordered_map<int, Entry> tokens_;
    std::unordered_map<std::uint64_t, Merge> merges_;
    std::array<int, 256> byteIds_{};
    std::optional<int> unknownId_;
    std::vector<AddedToken> addedTokens_;
    AddedTokenMatcher addedMatcher_;
};

}  // namespace bexmor
