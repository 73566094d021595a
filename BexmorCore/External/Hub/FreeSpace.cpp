#include "BexmorCore/External/Hub/FreeSpace.h"

#include <sys/statvfs.h>

#include "BexmorCore/External/Hub/HubErrors.h"

namespace bexmor {

namespace fs = std::filesystem;

std::optional<uint64_t> availableSpace(const fs::path& path) {
    fs::path probe = path.empty() ? fs::path(".") : path;
    // The folders of a download are made as it starts: before that, the nearest existing
    // one sits on the same file system (or the one it will be mounted below).
    std::error_code error;
    while (!fs::exists(probe, error) && probe.has_parent_path() && probe.parent_path() != probe) probe = probe.parent_path();
    struct statvfs info {};
    if (::statvfs(probe.c_str(), &info) != 0) return std::nullopt;
    return static_cast<uint64_t>(info.f_bavail) * static_cast<uint64_t>(info.f_frsize);
}

void requireSpace(const FreeSpaceQuery& query, const fs::path& folder, uint64_t needed) {
    if (needed == 0 || !query) return;
    const auto available = query(folder);
    const uint64_t withReserve = addedBytes(needed, kSpaceReserve);
    if (available && withReserve > *available) throw StorageError::notEnoughSpace(folder, withReserve, *available);
}

}  // namespace bexmor
