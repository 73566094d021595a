#include "Platform/ML/MultiArray.h"

#include <cstdlib>
#include <cstring>
#include <limits>

namespace platform::ml {

size_t elementSize(MultiArrayDataType type) {
    switch (type) {
    case MultiArrayDataType::float16: return 2;
    case MultiArrayDataType::float32: return 4;
    case MultiArrayDataType::float64: return 8;
    case MultiArrayDataType::int32: return 4;
    case MultiArrayDataType::int8: return 1;
    }
    throw MlError(MlError::Code::unsupported, "Unknown multi-array data type " + std::to_string(int32_t(type)));
}

std::string dataTypeName(MultiArrayDataType type) {
    switch (type) {
    case MultiArrayDataType::float16: return "float16";
    case MultiArrayDataType::float32: return "float32";
    case MultiArrayDataType::float64: return "float64";
    case MultiArrayDataType::int32: return "int32";
    case MultiArrayDataType::int8: return "int8";
    }
    return "unknown";
}

MultiArray::MultiArray(std::vector<int64_t> shape, MultiArrayDataType type)
    : shape_(std::move(shape)), type_(type) {
    const size_t size = elementSize(type);  // refuses unknown types first
    if (shape_.empty()) throw MlError(MlError::Code::badInput, "A multi-array needs at least one dimension");
    const int64_t limit = std::numeric_limits<int64_t>::max() / int64_t(size) / 2;
    int64_t count = 1;
    for (int64_t d : shape_) {
        if (d < 1) throw MlError(MlError::Code::badInput, "A multi-array dimension must be positive, not " + std::to_string(d));
        if (count > limit / d) throw MlError(MlError::Code::badInput, "The multi-array's size overflows");
        count *= d;
    }
    count_ = count;
    strides_.assign(shape_.size(), 1);
    for (size_t i = shape_.size() - 1; i > 0; --i) strides_[i - 1] = strides_[i] * shape_[i];

    const size_t bytes = (size_t(count) * size + 63) / 64 * 64;
    void* p = std::aligned_alloc(64, bytes);
    if (p == nullptr) throw MlError(MlError::Code::allocation, "Cannot allocate " + std::to_string(bytes) + " bytes for a multi-array");
    std::memset(p, 0, bytes);
    storage_.reset(static_cast<std::byte*>(p), [](std::byte* q) { std::free(q); });
}

MultiArray MultiArray::clone() const {
    MultiArray copy(shape_, type_);
    std::memcpy(copy.data(), data(), byteCount());
    return copy;
}

void MultiArray::checkType(MultiArrayDataType wanted) const {
    if (wanted != type_)
        throw MlError(MlError::Code::badInput,
                      "The multi-array holds " + dataTypeName(type_) + ", not " + dataTypeName(wanted));
}

}  // namespace platform::ml
