#include "BexmorCore/External/Tokenizers/AddedTokenMatcher.h"

namespace bexmor {

int AddedTokenMatcher::child(int node, unsigned char byte) const {
    for (const auto& [b, index] : nodes_[node].children) {
        if (b == byte) return index;
    }
    return -1;
}

void AddedTokenMatcher::add(std::string_view content, int id) {
    if (content.empty()) return;
    int node = 0;
    for (const char c : content) {
        const auto byte = static_cast<unsigned char>(c);
        int next = child(node, byte);
        if (next < 0) {
            next = static_cast<int>(nodes_.size());
            nodes_[node].children.emplace_back(byte, next);
            nodes_.emplace_back();
        }
        node = next;
    }
    if (nodes_[node].id < 0) nodes_[node].id = id;
    startsWith_[static_cast<unsigned char>(content.front())] = true;
}

std::optional<AddedTokenMatcher::Match> AddedTokenMatcher::find(std::string_view text, std::size_t from) const {
    if (empty()) return std::nullopt;
    for (std::size_t start = from; start < text.size(); ++start) {
        if (!startsWith_[static_cast<unsigned char>(text[start])]) continue;
        int node = 0;
        std::optional<Match> longest;
        for (std::size_t i = start; i < text.size(); ++i) {
            node = child(node, static_cast<unsigned char>(text[i]));
            if (node < 0) break;
            if (nodes_[node].id >= 0) longest = Match{start, i + 1 - start, nodes_[node].id};
        }
        if (longest) return longest;
    }
    return std::nullopt;
}

}  // namespace bexmor
