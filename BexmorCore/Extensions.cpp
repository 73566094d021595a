#include "BexmorCore/Extensions.h"

#include <cxxabi.h>
#include <fnmatch.h>
#include <pwd.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>

#include "BexmorCore/Unicode.h"

namespace bexmor {

namespace {

using Range = std::pair<std::size_t, std::size_t>;

bool isLineBreak(char32_t scalar) {
    return (scalar >= 0x0A && scalar <= 0x0D) || scalar == 0x85 || scalar == 0x2028 || scalar == 0x2029;
}

bool contains(std::u16string_view set, char32_t scalar) {
    return scalar <= 0xFFFF && set.find(static_cast<char16_t>(scalar)) != std::u16string_view::npos;
}

constexpr std::u16string_view sentenceEnders = u".!?\u2026\u3002\uFF01\uFF1F";
constexpr std::u16string_view clauseMarks = u",;:-\u2013";
constexpr std::u16string_view closers = u"\"'\u201D\u2019)]}\u00BB\u300D";

// A single-scalar character, for comparing against the mark sets: a mark followed by a
// combining accent is a different character.
std::optional<char32_t> soleScalar(std::u16string_view text, const Range& range) {
    std::size_t next = range.first;
    const char32_t scalar = Unicode::scalarAt(text, range.first, &next);
    if (next != range.second) return std::nullopt;
    return scalar;
}

char32_t firstScalar(std::u16string_view text, const Range& range) {
    return Unicode::scalarAt(text, range.first);
}

std::u16string trimmedWhitespace(std::u16string_view text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end) {
        std::size_t next = begin;
        if (!Unicode::isWhitespace(Unicode::scalarAt(text, begin, &next))) break;
        begin = next;
    }
    while (end > begin) {
        std::size_t start = end - 1;
        if (start > begin && (text[start] & 0xFC00) == 0xDC00 && (text[start - 1] & 0xFC00) == 0xD800) --start;
        if (!Unicode::isWhitespace(Unicode::scalarAt(text, start))) break;
        end = start;
    }
    return std::u16string(text.substr(begin, end - begin));
}

std::optional<std::string> homeFolder(std::string_view user) {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (user.empty()) {
        if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return std::string(home);
        if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
            return std::nullopt;
        }
    } else {
        const std::string name(user);
        if (::getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
            return std::nullopt;
        }
    }
    return std::string(found->pw_dir);
}

}  // namespace

std::vector<std::string> matching(const std::vector<std::string>& names, std::string_view glob) {
    const std::string pattern(glob);
    std::vector<std::string> result;
    for (const auto& name : names) {
        if (::fnmatch(pattern.c_str(), name.c_str(), 0) == 0) result.push_back(name);
    }
    return result;
}

std::string trimmingFromEnd(std::string_view text, std::string_view character, int upto) {
    if (upto < 1) return std::string(text);
    const std::u16string units = Unicode::utf16(text);
    const std::u16string wanted = Unicode::decomposed(Unicode::utf16(character));
    const auto ranges = Unicode::characterRanges(units);
    std::size_t keep = ranges.size();
    for (int removed = 0; removed < upto && keep > 0; ++removed) {
        const auto& [begin, end] = ranges[keep - 1];
        if (Unicode::decomposed(std::u16string_view(units).substr(begin, end - begin)) != wanted) break;
        --keep;
    }
    if (keep == ranges.size()) return std::string(text);
    return Unicode::utf8(std::u16string_view(units).substr(0, keep == 0 ? 0 : ranges[keep - 1].second));
}

std::optional<std::string> lastNaturalBoundary(std::string_view text, int minTokenCount,
                                               const std::function<std::vector<int>(const std::string&)>& encode) {
    const std::u16string units = Unicode::utf16(text);
    const std::u16string_view view(units);
    auto accept = [&](std::size_t prefixEnd) -> std::optional<std::string> {
        const std::u16string_view prefix = view.substr(0, prefixEnd);
        const auto tokens = encode(Unicode::utf8(trimmedWhitespace(prefix)));
        if (static_cast<long long>(tokens.size()) >= minTokenCount) return Unicode::utf8(prefix);
        return std::nullopt;
    };

    // 1-2: sentence ends, the latest first; the last sentence only when it is complete.
    const auto sentences = Unicode::sentenceRanges(view);
    for (std::size_t k = sentences.size(); k-- > 0;) {
        const auto& [begin, end] = sentences[k];
        if (k + 1 == sentences.size()) {
            const std::u16string_view sentence = view.substr(begin, end - begin);
            const auto characters = Unicode::characterRanges(sentence);
            std::size_t runStart = characters.size();
            bool runHasLineBreak = false;
            while (runStart > 0) {
                const auto& range = characters[runStart - 1];
                const char32_t scalar = firstScalar(sentence, range);
                const auto sole = soleScalar(sentence, range);
                const bool closer = sole && contains(closers, *sole);
                if (!Unicode::isWhitespace(scalar) && !closer) break;
                runHasLineBreak = runHasLineBreak || isLineBreak(scalar);
                --runStart;
            }
            bool complete = runHasLineBreak;
            if (!complete && runStart > 0) {
                const auto sole = soleScalar(sentence, characters[runStart - 1]);
                complete = sole && contains(sentenceEnders, *sole);
            }
            if (!complete) continue;
        }
        if (auto found = accept(end)) return found;
    }

    // 3: clause marks followed by whitespace or the end, the latest first.
    const auto characters = Unicode::characterRanges(view);
    for (std::size_t i = characters.size(); i >= 1; --i) {
        const auto mark = soleScalar(view, characters[i - 1]);
        if (!mark || !contains(clauseMarks, *mark)) continue;
        if (i != characters.size() && !Unicode::isWhitespace(firstScalar(view, characters[i]))) continue;
        if (auto found = accept(characters[i - 1].second)) return found;
    }

    // 4: everything before the last plain space.
    if (const auto space = view.rfind(u' '); space != std::u16string_view::npos) return accept(space);
    return std::nullopt;
}

float rounded(float value, int places) {
    const float divisor = std::pow(10.0f, static_cast<float>(places));
    if (std::isinf(divisor)) return value;
    if (divisor == 0.0f) return 0.0f;
    const float scaled = value * divisor;
    if (!std::isfinite(scaled)) return value;
    return std::round(scaled) / divisor;
}

std::string resolveAbsolutePath(std::string_view path) {
    std::string expanded(path);
    if (!path.empty() && path.front() == '~') {
        const std::size_t slash = path.find('/');
        const std::string_view user = path.substr(1, slash == std::string_view::npos ? std::string_view::npos : slash - 1);
        if (const auto home = homeFolder(user)) {
            expanded = *home + std::string(slash == std::string_view::npos ? std::string_view() : path.substr(slash));
        }
    }
    if (!expanded.empty() && expanded.front() == '/') return expanded;

    std::error_code error;
    std::string result = std::filesystem::current_path(error).string();
    if (!expanded.empty()) {
        if (result.empty() || result.back() != '/') result += '/';
        result += expanded;
    }
    while (result.size() > 1 && result.back() == '/') result.pop_back();
    return result;
}

std::string unqualifiedName(const std::type_info& type) {
    int status = 0;
    char* demangled = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
    std::string name = (status == 0 && demangled != nullptr) ? demangled : type.name();
    std::free(demangled);
    // Only namespaces before any template argument list are dropped.
    const auto templateStart = name.find('<');
    const auto lastScope = name.rfind("::", templateStart);
    if (lastScope != std::string::npos) name = name.substr(lastScope + 2);
    return name;
}

}  // namespace bexmor
