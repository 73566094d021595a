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

// What a file's download writes besides the file: its record (about 130 bytes, and its
// temporary twin while it is written), the partial file's validator record and perhaps a
// new folder, each taking a whole block of the file system; room for blocks of up to
// 16 KiB.
constexpr uint64_t kRecordRoom = 64 * 1024;
// Left free after any download, so one that is allowed never fills the file system to its
// last block: the record still to come, the file system's own bookkeeping and every other
// program writing there need it.
constexpr uint64_t kSpaceReserve = 4 * 1024 * 1024;

// `a` and `b` bytes together, or the largest count where that does not fit: an absurd
// announced size is then refused for lack of space instead of wrapping round to a small one.
constexpr uint64_t addedBytes(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

// Fails with StorageError::notEnoughSpace when `needed` bytes and kSpaceReserve together
// exceed what `query` reports for `folder` (the error names both together as needed).
// A query without an answer lets the download try: the write itself still notices a
// full disk.
void requireSpace(const FreeSpaceQuery& query, const std::filesystem::path& folder, uint64_t needed);

}  // namespace bexmor
