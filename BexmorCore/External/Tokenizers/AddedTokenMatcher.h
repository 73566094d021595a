#pragma once

#include <array>
#include <cstddef>
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

    bool empty() const { return nodes_.size() <= 1; }

    // Every match in the text, in order, none overlapping.
    std::vector<Match> findAll(std::string_view text) const;

private:
    struct Node {
        std::vector<std::pair<unsigned char, int>> children;  // byte, node index; sorted by byte
        int fail = 0;
        int id = -1;           // the token whose reversed text ends here
        std::size_t depth = 0;
        int longest = -1;      // the deepest node on the failure chain (itself included) that ends a token
    };
    int child(int node, unsigned char byte) const;

    std::vector<Node> nodes_{Node{}};
    std::array<int, 256> rootChild_{};  // the root's children as a table: the common step is one load
};

}  // namespace bexmor
