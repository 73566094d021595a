#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace bexmor::hubpaths {

// Names and etags come from the hub and become local paths. These checks keep every path
// the client builds inside its cache folder.

// A "/"-separated path relative to a repository root: not empty, not absolute, no NUL, no
// empty, "." or ".." component, and not inside the cache's own ".cache" folder.
bool isSafeRelativePath(std::string_view name);

// An etag that may stand in a file name: letters, digits, ".", "_" and "-", not starting
// with "." (so it can never form ".." or a hidden name).
bool isSafeEtag(std::string_view etag);

// A repository id: one or more safe components separated by "/" (owner and name).
bool isSafeRepoId(std::string_view id);

// Exactly `length` lower-case hexadecimal digits: the shapes of a commit hash (40) and of
// a SHA-256 etag (64).
bool isLowerHex(std::string_view text, size_t length);

// The textual form of a local file's URL, "file://" and the absolute path percent-encoded,
// as the client's messages name files.
std::string fileUrlText(const std::filesystem::path& path);

}  // namespace bexmor::hubpaths
