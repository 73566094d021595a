#include "BexmorCore/External/Hub/HubPaths.h"

#include "Platform/Net/HttpClient.h"

namespace bexmor::hubpaths {

namespace {

bool componentsAreSafe(std::string_view name) {
    if (name.empty() || name.front() == '/' || name.find('\0') != std::string_view::npos) return false;
    size_t start = 0;
    while (true) {
        const size_t end = name.find('/', start);
        const std::string_view component = name.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        if (component.empty() || component == "." || component == "..") return false;
        if (end == std::string_view::npos) return true;
        start = end + 1;
    }
}

}  // namespace

bool isSafeRelativePath(std::string_view name) {
    if (!componentsAreSafe(name)) return false;
    const std::string_view first = name.substr(0, name.find('/'));
    return first != ".cache";
}

bool isSafeEtag(std::string_view etag) {
    if (etag.empty() || etag.front() == '.') return false;
    for (const char c : etag) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                             c == '_' || c == '-';
        if (!allowed) return false;
    }
    return true;
}

bool isSafeRepoId(std::string_view id) { return componentsAreSafe(id); }

bool isLowerHex(std::string_view text, size_t length) {
    if (text.size() != length) return false;
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

std::string fileUrlText(const std::filesystem::path& path) {
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error);
    return "file://" + platform::percentEncodePath((error ? path : absolute).string(), true);
}

}  // namespace bexmor::hubpaths
