#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

namespace platform::ml {

// The first `limit` bytes of a small file (a /proc or /sys value, a cache of a few lines);
// empty when it cannot be opened or read, so such a file reads as if it were absent. Plain
// reads, no stream: a stream throws where a read fails, and the read of a
// /proc/self/task/<tid>/stat fails whenever that thread ends between the open and the read.
std::string readSmallFile(const std::filesystem::path& path, std::size_t limit = 64 * 1024);

}  // namespace platform::ml
