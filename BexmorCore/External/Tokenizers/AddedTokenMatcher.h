#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bexmor {

// Finds the added tokens of a tokenizer in raw text, leftmost first and, among the
// tokens that start there, the longest.
class AddedTokenMatcher {
public:
    struct Match {
        std::size_t start = 0;
        std::size_t length = 0;
        int id = 0;
    };

    // An empty content is never matched. A content given twice keeps its first id.
    void add(std::string_view content, int id);
    bool empty() const { return nodes_.size() <= 1; }

    // The first match at or after `from`, none when there is no more.
    std::optional<Match> find(std::string_view text, std::size_t from) const;

private:
    struct Node {
        std::vector<std::pair<unsigned char, int>> children;  // byte, node index
        int id = -1;                                          // the token ending here
    };
    int child(int node, unsigned char byte) const;

    std::vector<Node> nodes_{Node{}};
    bool startsWith_[256] = {};
};

}  // namespace bexmor
