#include "BexmorCore/External/Tokenizers/AddedTokenMatcher.h"

#include <algorithm>
#include <numeric>

namespace bexmor {

namespace {

// Orders texts by their bytes read from the end, unsigned.
bool reversedLess(std::string_view a, std::string_view b) {
    return std::lexicographical_compare(a.rbegin(), a.rend(), b.rbegin(), b.rend(), [](char x, char y) {
        return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
    });
}

std::size_t commonSuffix(std::string_view a, std::string_view b) {
    std::size_t n = 0;
    while (n < a.size() && n < b.size() && a[a.size() - 1 - n] == b[b.size() - 1 - n]) ++n;
    return n;
}

}  // namespace

AddedTokenMatcher::AddedTokenMatcher(const std::vector<std::pair<std::string, int>>& tokens) {
    rootChild_.fill(0);
    // The reversed contents in order, a repeat after its first: the trie is then built in
    // depth-first order, each node's children created in the order of their bytes.
    std::vector<std::uint32_t> order;
    for (std::uint32_t i = 0; i < tokens.size(); ++i) {
        if (!tokens[i].first.empty()) order.push_back(i);
    }
    std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
        return reversedLess(tokens[a].first, tokens[b].first);
    });

    // Each node but the root is known by the edge into it: its parent and its byte.
    std::vector<std::int32_t> parent{-1};
    std::vector<unsigned char> byte{0};
    longest_.assign(1, -1);
    std::vector<std::int32_t> path{0};  // the nodes of the last content, root first
    std::string_view previous;
    for (const std::uint32_t index : order) {
        const std::string_view content = tokens[index].first;
        const std::size_t shared = commonSuffix(previous, content);
        if (shared == content.size() && shared == previous.size()) continue;  // a repeat keeps its first id
        path.resize(shared + 1);
        for (std::size_t depth = shared; depth < content.size(); ++depth) {
            parent.push_back(path.back());
            byte.push_back(static_cast<unsigned char>(content[content.size() - 1 - depth]));
            longest_.push_back(-1);
            path.push_back(static_cast<std::int32_t>(parent.size() - 1));
        }
        longest_[std::size_t(path.back())] = static_cast<std::int32_t>(tokens_.size());
        tokens_.push_back(Token{tokens[index].second, static_cast<std::uint32_t>(content.size())});
        previous = content;
    }

    // The edges grouped by parent; within a parent they were made in the order of their bytes.
    const std::size_t nodes = parent.size();
    edgeStart_.assign(nodes + 1, 0);
    for (std::size_t n = 1; n < nodes; ++n) ++edgeStart_[std::size_t(parent[n]) + 1];
    std::partial_sum(edgeStart_.begin(), edgeStart_.end(), edgeStart_.begin());
    edgeByte_.resize(nodes - 1);
    edgeTarget_.resize(nodes - 1);
    {
        std::vector<std::uint32_t> next(edgeStart_.begin(), edgeStart_.end() - 1);
        for (std::size_t n = 1; n < nodes; ++n) {
            const std::uint32_t slot = next[std::size_t(parent[n])]++;
            edgeByte_[slot] = byte[n];
            edgeTarget_[slot] = static_cast<std::int32_t>(n);
        }
    }
    parent = {};
    byte = {};
    for (std::uint32_t e = edgeStart_[0]; e < edgeStart_[1]; ++e) rootChild_[edgeByte_[e]] = edgeTarget_[e];

    // Failure links in breadth-first order: a node's link is the longest proper suffix of
    // its string that is also in the trie.
    fail_.assign(nodes, 0);
    std::vector<std::int32_t> queue;
    queue.reserve(nodes);
    queue.push_back(0);
    for (std::size_t head = 0; head < queue.size(); ++head) {
        const std::int32_t node = queue[head];
        if (node != 0 && longest_[std::size_t(node)] < 0) longest_[std::size_t(node)] = longest_[std::size_t(fail_[std::size_t(node)])];
        for (std::uint32_t e = edgeStart_[std::size_t(node)]; e < edgeStart_[std::size_t(node) + 1]; ++e) {
            const std::int32_t target = edgeTarget_[e];
            if (node != 0) {
                std::int32_t fallback = fail_[std::size_t(node)];
                int found = child(fallback, edgeByte_[e]);
                while (found < 0 && fallback != 0) {
                    fallback = fail_[std::size_t(fallback)];
                    found = child(fallback, edgeByte_[e]);
                }
                fail_[std::size_t(target)] = found < 0 ? 0 : found;
            }
            queue.push_back(target);
        }
    }
}

int AddedTokenMatcher::child(int node, unsigned char b) const {
    if (node == 0) return rootChild_[b] > 0 ? rootChild_[b] : -1;
    const auto first = edgeByte_.begin() + edgeStart_[std::size_t(node)];
    const auto last = edgeByte_.begin() + edgeStart_[std::size_t(node) + 1];
    const auto it = std::lower_bound(first, last, b);
    return it != last && *it == b ? edgeTarget_[std::size_t(it - edgeByte_.begin())] : -1;
}

std::vector<AddedTokenMatcher::Match> AddedTokenMatcher::findAll(std::string_view text) const {
    std::vector<Match> matches;
    if (empty()) return matches;
    // From the end backwards: after reading text[p], the tokens that start at p are the
    // reversed tokens ending at the current state, the longest one first on its chain.
    std::vector<Match> starts;  // the longest token starting at each position that has one, from the back
    int state = 0;
    for (std::size_t p = text.size(); p-- > 0;) {
        const auto b = static_cast<unsigned char>(text[p]);
        int next = child(state, b);
        while (next < 0 && state != 0) {
            state = fail_[std::size_t(state)];
            next = child(state, b);
        }
        state = next < 0 ? 0 : next;
        if (const int hit = longest_[std::size_t(state)]; hit >= 0) {
            starts.push_back(Match{p, tokens_[std::size_t(hit)].length, tokens_[std::size_t(hit)].id});
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
