#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace platform::ml {

enum class WeightType { f32, f16, bf16 };

// One tensor inside a mapped weights file.
struct WeightView {
    std::string name;
    WeightType type = WeightType::f32;
    std::vector<int64_t> shape;
    const std::byte* data = nullptr;
    size_t byteCount = 0;

    int64_t count() const;
};

// A safetensors file, mapped read-only: an 8-byte little-endian header length, a JSON
// header of name -> {dtype, shape, data_offsets}, then the raw data. The header is
// checked against the file's size when the file is opened, so a truncated or
// inconsistent file fails here with MlError(invalidModel) naming the file and tensor.
//
// The file may come from anywhere, so what its header may ask for is bounded before it is
// held in memory: its length, the number of tensors and their ranks, well above any model
// of the family (about a thousand tensors of rank at most 3, a header of some 100 kB).
class WeightsFile {
public:
    static constexpr uint64_t maxHeaderBytes = uint64_t(100) << 20;
    static constexpr size_t maxTensors = 100000;
    static constexpr size_t maxRank = 8;

    explicit WeightsFile(const std::filesystem::path& path);
    ~WeightsFile();
    WeightsFile(const WeightsFile&) = delete;
    WeightsFile& operator=(const WeightsFile&) = delete;

    const std::filesystem::path& path() const { return path_; }
    bool contains(const std::string& name) const { return tensors_.count(name) != 0; }
    const std::map<std::string, WeightView>& tensors() const { return tensors_; }
    // The tensor of that name with exactly that shape; MlError(invalidModel) otherwise.
    const WeightView& require(const std::string& name, const std::vector<int64_t>& shape) const;

    // Conversions to the compute types (exact for F16 and BF16 to float).
    std::vector<float> floats(const std::string& name, const std::vector<int64_t>& shape) const;
    std::vector<uint16_t> halves(const std::string& name, const std::vector<int64_t>& shape) const;

private:
    void release(const WeightView& view) const;

    std::filesystem::path path_;
    void* map_ = nullptr;
    size_t size_ = 0;
    std::map<std::string, WeightView> tensors_;
};

std::string shapeText(const std::vector<int64_t>& shape);

}  // namespace platform::ml
