#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>

namespace bexmor {

// How much a download may still write below a folder. The real query asks the file system;
// a test puts its own in place to play a small or full disk.
using FreeSpaceQuery = std::function<std::optional<uint64_t>(const std::filesystem::path&)>;

// Bytes an unprivileged writer may still put on the file system that holds `path`, or, when
// `path` does not exist yet, its nearest existing folder; nullopt when that cannot be told.
std::optional<uint64_t> availableSpace(const std::filesystem::path& path);

// Fails with StorageError::notEnoughSpace when `needed` bytes exceed what `query` reports
// for `folder`. A query without an answer lets the download try: the write itself still
// notices a full disk.
void requireSpace(const FreeSpaceQuery& query, const std::filesystem::path& folder, uint64_t needed);

}  // namespace bexmor
