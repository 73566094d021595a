#include "BexmorCore/External/Tokenizers/AddedTokenMatcher.h"

#include <algorithm>

namespace bexmor {

AddedTokenMatcher::AddedTokenMatcher(const std::vector<std::pair<std::string, int>>& tokens) {
    // The trie of the reversed contents; children are appended, then sorted once.
    for (const auto& [content, id] : tokens) {
        if (content.empty()) continue;
        int node = 0;
        for (auto it = content.rbegin(); it != content.rend(); ++it) {
            const auto byte = static_cast<unsigned char>(*it);
            auto& children = nodes_[std::size_t(node)].children;
            const auto found = std::find_if(children.begin(), children.end(), [byte](const auto& c) { return c.first == byte; });
            int next = found == children.end() ? -1 : found->second;
            if (next < 0) {
                next = static_cast<int>(nodes_.size());
                nodes_[std::size_t(node)].children.emplace_back(byte, next);
                nodes_.emplace_back();
                nodes_.back().depth = nodes_[std::size_t(node)].depth + 1;
            }
            node = next;
        }
        if (nodes_[std::size_t(node)].id < 0) nodes_[std::size_t(node)].id = id;
    }
    for (auto& node : nodes_) std::sort(node.children.begin(), node.children.end());
    rootChild_.fill(0);
    for (const auto& [byte, index] : nodes_[0].children) rootChild_[byte] = index;

    // Failure links in breadth-first order: a node's link is the longest proper suffix of
    // its string that is also in the trie.
    std::vector<int> queue;
    queue.reserve(nodes_.size());
    nodes_[0].longest = -1;
    for (const auto& [byte, index] : nodes_[0].children) {
        nodes_[std::size_t(index)].fail = 0;
        queue.push_back(index);
    }
    for (std::size_t head = 0; head < queue.size(); ++head) {
        const int node = queue[head];
        Node& current = nodes_[std::size_t(node)];
        current.longest = current.id >= 0 ? node : nodes_[std::size_t(current.fail)].longest;
        for (const auto& [byte, index] : current.children) {
            int fallback = current.fail;
            int target = child(fallback, byte);
            while (target < 0 && fallback != 0) {
                fallback = nodes_[std::size_t(fallback)].fail;
                target = child(fallback, byte);
            }
            nodes_[std::size_t(index)].fail = target < 0 || target == index ? 0 : target;
            queue.push_back(index);
        }
    }
}

int AddedTokenMatcher::child(int node, unsigned char byte) const {
    if (node == 0) return rootChild_[byte] > 0 ? rootChild_[byte] : -1;
    const auto& children = nodes_[std::size_t(node)].children;
    const auto it = std::lower_bound(children.begin(), children.end(), std::pair<unsigned char, int>(byte, -1));
    return it != children.end() && it->first == byte ? it->second : -1;
}

std::vector<AddedTokenMatcher::Match> AddedTokenMatcher::findAll(std::string_view text) const {
    std::vector<Match> matches;
    if (empty()) return matches;
    // From the end backwards: after reading text[p], the tokens that start at p are the
    // reversed tokens ending at the current state, the longest one first on its chain.
    std::vector<Match> starts;  // the longest token starting at each position that has one, from the back
    int state = 0;
    for (std::size_t p = text.size(); p-- > 0;) {
        const auto byte = static_cast<unsigned char>(text[p]);
        int next = child(state, byte);
        while (next < 0 && state != 0) {
            state = nodes_[std::size_t(state)].fail;
            next = child(state, byte);
        }
        state = next < 0 ? 0 : next;
        if (const int hit = nodes_[std::size_t(state)].longest; hit >= 0) {
            starts.push_back(Match{p, nodes_[std::size_t(hit)].depth, nodes_[std::size_t(hit)].id});
        }
    }
    // Leftmost first: a token is taken unless it starts inside the one taken before it.
    std::size_t position = 0;
    for (auto it = starts.rbegin(); it != starts.rend(); ++it) {
        if (it->start < position) continue;
        matches.push_back(*it);
        position = it->start + it->length;
    }
    return matches;
}

}  // namespace bexmor
