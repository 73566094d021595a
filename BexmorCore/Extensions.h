#pragma once

#include <algorithm>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <typeinfo>
#include <vector>

namespace bexmor {

// Small extensions of the basic types that the hub client, the tokenizers and the
// speech engine share. Text is UTF-8; "character" means an extended grapheme cluster.

// The names that the glob matches, in input order, as fnmatch(3) with no flags decides:
// a star also matches slashes and leading dots ("*.json" matches "b/c.json"), a question
// mark any one byte, brackets a set, a backslash quotes; matching is case-sensitive.
std::vector<std::string> matching(const std::vector<std::string>& names, std::string_view glob);

// Consecutive batches of at most `size` elements; the last may be shorter. A size of 0
// or less puts everything into one batch (dropping the work, or dividing by zero, would
// be worse). An empty list gives no batches.
template <class T>
std::vector<std::vector<T>> batched(const std::vector<T>& elements, std::ptrdiff_t size) {
    std::vector<std::vector<T>> batches;
    if (elements.empty()) return batches;
    const std::size_t step = size > 0 ? static_cast<std::size_t>(size) : elements.size();
    for (std::size_t start = 0; start < elements.size(); start += step) {
        const std::size_t end = std::min(start + step, elements.size());
        batches.emplace_back(elements.begin() + static_cast<std::ptrdiff_t>(start),
                             elements.begin() + static_cast<std::ptrdiff_t>(end));
    }
    return batches;
}

// The first occurrence of every element, in input order.
template <class T>
std::vector<T> orderedSet(const std::vector<T>& elements) {
    std::unordered_set<T> seen;
    std::vector<T> result;
    for (const T& element : elements) {
        if (seen.insert(element).second) result.push_back(element);
    }
    return result;
}

// Removes up to `upto` trailing copies of `character` (one character; canonically
// equivalent forms count as equal). `upto` < 1 changes nothing.
std::string trimmingFromEnd(std::string_view text, std::string_view character, int upto);

// The longest useful prefix of `text` that ends at a natural boundary and whose trimmed
// text still encodes to at least `minTokenCount` tokens: the latest sentence end first,
// then the latest clause mark (",;:-–" followed by whitespace or the end), then the text
// before the last space. The prefix is returned untrimmed; empty when none qualifies.
std::optional<std::string> lastNaturalBoundary(std::string_view text, int minTokenCount,
                                               const std::function<std::vector<int>(const std::string&)>& encode);

// `value` rounded to `places` decimal places (negative: tens, hundreds, ...), halves away
// from zero, in single precision. When 10^places or the scaled value leaves the float
// range, the value is returned unchanged (it holds no finer digits anyway); when 10^places
// underflows to zero, the result is 0.
float rounded(float value, int places);

// Expands a leading "~" or "~user" to the home folder; a path that then begins with "/"
// is returned as it is, any other is appended to the current directory.
std::string resolveAbsolutePath(std::string_view path);

// A type's name as written, without its namespaces ("bexmor::ModelManager" ->
// "ModelManager"); for logs, which should read like the code, not the linker.
std::string unqualifiedName(const std::type_info& type);

}  // namespace bexmor
