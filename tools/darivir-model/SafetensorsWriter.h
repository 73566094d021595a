#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace darivir {

// One tensor to write: dtype "F32", "F16" or "BF16", its shape and raw little-endian data.
struct OutTensor {
    std::string dtype;
    std::vector<int64_t> shape;
    std::vector<std::byte> data;
};

using TensorMap = std::map<std::string, OutTensor>;

OutTensor floatTensor(const std::vector<float>& values, std::vector<int64_t> shape, const std::string& dtype);

// Writes the safetensors layout (header length, JSON header, data), through a temporary
// file renamed into place, so that a killed run never leaves a half-written file.
void writeSafetensors(const std::filesystem::path& path, const TensorMap& tensors);

void writeTextFile(const std::filesystem::path& path, const std::string& text);

}  // namespace darivir
