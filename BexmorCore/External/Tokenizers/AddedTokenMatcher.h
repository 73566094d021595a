#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace bexmor {

// Finds the added tokens of a tokenizer in raw text, leftmost first and, among the
// tokens that start there, the longest; the next search starts after the token found.
//
// The tokens come from the tokenizer file, so their number and length are the file's
// choice: the search costs time linear in the text whatever they are. An Aho-Corasick
// automaton over the reversed tokens, run once from the end of the text to its start,
// gives the longest token starting at every position; the leftmost-longest matches are
// then picked from the front in one more pass.
//
// The automaton is a node per byte of the distinct reversed tokens' trie, kept in flat
// arrays of about 17 bytes a node (no container per node): building it costs time and
// memory linear in the tokens' total length, whatever their shape.
class AddedTokenMatcher {
public:
    struct Match {
        std::size_t start = 0;
        std::size_t length = 0;
        int id = 0;
        bool operator==(const Match&) const = default;
    };

    AddedTokenMatcher() = default;
    // An empty content is never matched. A content given twice keeps its first id.
    explicit AddedTokenMatcher(const std::vector<std::pair<std::string, int>>& tokens);

    bool empty() const { return tokens_.empty(); }

    // Every match in the text, in order, none overlapping.
    std::vector<Match> findAll(std::string_view text) const;

private:
    struct Token {
        int id = 0;
        std::uint32_t length = 0;
    };
    int child(int node, unsigned char byte) const;

    // Node n's children are the edges [edgeStart_[n], edgeStart_[n + 1]), sorted by byte.
    std::vector<std::uint32_t> edgeStart_;
    std::vector<unsigned char> edgeByte_;
    std::vector<std::int32_t> edgeTarget_;
    std::vector<std::int32_t> fail_;     // the longest proper suffix of the node's string that is a node
    std::vector<std::int32_t> longest_;  // the longest token ending on the failure chain (node itself first), or -1
    std::vector<Token> tokens_;
    std::array<int, 256> rootChild_{};  // the root's children as a table: the common step is one load
};

}  // namespace bexmor
