#include "BexmorCore/MultiArrayHelpers.h"

#include <limits>

namespace bexmor {

using platform::ml::Half;
using platform::ml::MultiArray;
using platform::ml::MultiArrayDataType;
using platform::ml::ScalarType;
using platform::ml::Tensor;

std::optional<PixelBufferLayout> pixelBuffer(const std::vector<int64_t>& shape) {
    if (shape.empty()) return std::nullopt;
    PixelBufferLayout layout{shape.back(), 1};
    if (layout.width < 1) return std::nullopt;
    for (size_t i = 0; i + 1 < shape.size(); ++i) {
        if (shape[i] < 1 || layout.height > std::numeric_limits<int32_t>::max() / shape[i]) return std::nullopt;
        layout.height *= shape[i];
    }
    return layout;
}

namespace detail {

void fillAll(MultiArray& array, const std::vector<std::byte>& element) {
    auto* data = static_cast<std::byte*>(array.data());
    const size_t size = element.size();
    for (int64_t i = 0; i < array.count(); ++i) std::memcpy(data + size_t(i) * size, element.data(), size);
}

void fillAt(MultiArray& array, const std::vector<std::vector<int64_t>>& indexes, const std::vector<std::byte>& element) {
    const auto& shape = array.shape();
    const auto& strides = array.strides();
    auto* data = static_cast<std::byte*>(array.data());
    for (const auto& index : indexes) {
        if (index.size() != shape.size()) continue;
        bool inside = true;
        int64_t offset = 0;
        for (size_t i = 0; i < index.size() && inside; ++i) {
            inside = index[i] >= 0 && index[i] < shape[i];
            offset += index[i] * strides[i];
        }
        if (inside) std::memcpy(data + size_t(offset) * element.size(), element.data(), element.size());
    }
}

}  // namespace detail

MultiArray from(const std::vector<int64_t>& values, int dims) {
    if (dims < 1) throw std::invalid_argument("from: dims must be at least 1, not " + std::to_string(dims));
    if (values.empty()) throw std::invalid_argument("from: no values");
    for (int64_t v : values)
        if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
            throw std::invalid_argument("from: " + std::to_string(v) + " does not fit in 32 bits");
    std::vector<int64_t> shape(size_t(dims), 1);
    shape.back() = int64_t(values.size());
    MultiArray array(shape, MultiArrayDataType::int32);
    auto out = array.elements<int32_t>();
    for (size_t i = 0; i < values.size(); ++i) out[i] = int32_t(values[i]);
    return array;
}

int64_t linearOffset(const MultiArray& array, const std::vector<int64_t>& index, const std::optional<std::vector<int64_t>>& strides) {
    const auto& s = strides ? *strides : array.strides();
    int64_t offset = 0;
    for (size_t i = 0; i < std::min(index.size(), s.size()); ++i) offset += index[i] * s[i];
    return offset;
}

void fillLastDimension(MultiArray& array, int64_t begin, int64_t end, Half value) {
    const auto& shape = array.shape();
    if (array.dataType() != MultiArrayDataType::float16 || shape.size() != 3 || shape[0] != 1 || shape[1] != 1)
        throw std::invalid_argument("fillLastDimension needs a [1, 1, N] float16 array");
    if (begin > end) throw std::invalid_argument("fillLastDimension: the range's start is after its end");
    if (begin < 0 || end > shape[2])
        throw std::invalid_argument("fillLastDimension: the range " + std::to_string(begin) + "..<" + std::to_string(end) +
                                    " lies outside 0..<" + std::to_string(shape[2]));
    auto elements = array.elements<Half>();
    const int64_t stride = array.strides()[2];
    for (int64_t i = begin; i < end; ++i) elements[size_t(i * stride)] = value;
}

namespace {

template <class T> std::vector<T> read(const Tensor& tensor) {
    const int64_t count = tensor.count();
    if (count < 0 || tensor.data.size() != size_t(count) * sizeof(T))
        throw std::invalid_argument("The tensor's data does not match its shape");
    std::vector<T> out(static_cast<size_t>(count));
    if (count > 0) std::memcpy(out.data(), tensor.data.data(), tensor.data.size());
    return out;
}

}  // namespace

std::vector<int64_t> toIntArray(const Tensor& tensor) {
    if (tensor.type != ScalarType::int32) throw UnsupportedScalarTypeError(tensor.type);
    const auto values = read<int32_t>(tensor);
    return {values.begin(), values.end()};
}

std::vector<float> toFloatArray(const Tensor& tensor) {
    switch (tensor.type) {
    case ScalarType::float32: return read<float>(tensor);
    case ScalarType::float16: {
        std::vector<float> out;
        for (uint16_t h : read<uint16_t>(tensor)) out.push_back(platform::ml::halfBitsToFloat(h));
        return out;
    }
    case ScalarType::int32: {
        const auto values = read<int32_t>(tensor);
        return {values.begin(), values.end()};
    }
    default: throw UnsupportedScalarTypeError(tensor.type);
    }
}

MultiArray toMLMultiArray(const Tensor& tensor) {
    MultiArrayDataType type;
    switch (tensor.type) {
    case ScalarType::float32: type = MultiArrayDataType::float32; break;
    case ScalarType::float16: type = MultiArrayDataType::float16; break;
    case ScalarType::int32: type = MultiArrayDataType::int32; break;
    default: throw UnsupportedScalarTypeError(tensor.type);
    }
    // A scalar tensor becomes a one-element array.
    MultiArray array(tensor.shape.empty() ? std::vector<int64_t>{1} : tensor.shape, type);
    if (tensor.data.size() != array.byteCount()) throw std::invalid_argument("The tensor's data does not match its shape");
    std::memcpy(array.data(), tensor.data.data(), tensor.data.size());
    return array;
}

}  // namespace bexmor
