#pragma once

#include <filesystem>
#include <string>

namespace bexmor {

// SHA-256 of a file as 64 lower-case hexadecimal digits, read in blocks of 1 MiB.
// A file that cannot be opened throws HubClientError::fileNotFound with its name; a read
// that fails half-way throws HubClientError::fileSystemError (a digest of a prefix must
// never pass for the file's hash).
std::string sha256OfFile(const std::filesystem::path& file);

}  // namespace bexmor
