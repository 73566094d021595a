#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "Platform/ML/MultiArray.h"
#include "Platform/ML/Tensor.h"

namespace bexmor {

// A multi-array could not be made. The one case keeps the other platform's text.
class MLMultiArrayCreationError : public std::exception {
public:
    enum class Code { pixelBufferFailed };
    explicit MLMultiArrayCreationError(Code c = Code::pixelBufferFailed) : code(c) {}
    const char* what() const noexcept override { return "Failed to create IOSurface-backed pixel buffer for MLMultiArray"; }
    friend bool operator==(const MLMultiArrayCreationError& a, const MLMultiArrayCreationError& b) { return a.code == b.code; }
    Code code;
};

// A tensor of a scalar type the helpers cannot read: "Unsupported scalar type: Int8".
class UnsupportedScalarTypeError : public std::exception {
public:
    explicit UnsupportedScalarTypeError(platform::ml::ScalarType type)
        : type(type), message_("Unsupported scalar type: " + platform::ml::scalarTypeName(type)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    platform::ml::ScalarType type;

private:
    std::string message_;
};

// The layout a half-float array has: rows of the last dimension (width) times the
// product of the others (height). None for an empty or invalid shape.
struct PixelBufferLayout {
    int64_t width = 0;
    int64_t height = 0;
};
std::optional<PixelBufferLayout> pixelBuffer(const std::vector<int64_t>& shape);

namespace detail {

// The value converted to the element type of `type`, as raw bytes; throws
// std::invalid_argument when it does not fit (NaN into an integer, out of range).
template <class T> std::vector<std::byte> elementBytes(T value, platform::ml::MultiArrayDataType type) {
    using platform::ml::MultiArrayDataType;
    static_assert(std::is_arithmetic_v<T> || std::is_same_v<T, platform::ml::Half>, "a number is needed");
    double v;
    if constexpr (std::is_same_v<T, platform::ml::Half>) v = double(float(value));
    else v = double(value);
    auto integer = [&](double lo, double hi) {
        if (!(v >= lo && v <= hi) || v != std::trunc(v))
            throw std::invalid_argument("The value " + std::to_string(v) + " does not fit the array's " +
                                        platform::ml::dataTypeName(type) + " elements");
    };
    std::vector<std::byte> bytes(platform::ml::elementSize(type));
    switch (type) {
    case MultiArrayDataType::float16: {
        const auto h = platform::ml::Half(float(v));
        std::memcpy(bytes.data(), &h.bits, 2);
        break;
    }
    case MultiArrayDataType::float32: {
        const float f = float(v);
        std::memcpy(bytes.data(), &f, 4);
        break;
    }
    case MultiArrayDataType::float64: std::memcpy(bytes.data(), &v, 8); break;
    case MultiArrayDataType::int32: {
        integer(-2147483648.0, 2147483647.0);
        const int32_t i = int32_t(v);
        std::memcpy(bytes.data(), &i, 4);
        break;
    }
    case MultiArrayDataType::int8: {
        integer(-128.0, 127.0);
        const int8_t i = int8_t(v);
        std::memcpy(bytes.data(), &i, 1);
        break;
    }
    }
    return bytes;
}

void fillAll(platform::ml::MultiArray& array, const std::vector<std::byte>& element);
void fillAt(platform::ml::MultiArray& array, const std::vector<std::vector<int64_t>>& indexes,
            const std::vector<std::byte>& element);

}  // namespace detail

// A new array of that shape and type, every element set to `initialValue` converted to
// the element type. A half-float array needs a non-empty shape (MLMultiArrayCreationError
// otherwise); other refusals are the runtime's MlError; a value that does not fit the
// element type is std::invalid_argument. Nothing is created on failure.
template <class T>
platform::ml::MultiArray makeMultiArray(const std::vector<int64_t>& shape, platform::ml::MultiArrayDataType type,
                                        T initialValue) {
    if (type == platform::ml::MultiArrayDataType::float16 && !pixelBuffer(shape))
        throw MLMultiArrayCreationError();
    const auto element = detail::elementBytes(initialValue, type);
    platform::ml::MultiArray array(shape, type);
    detail::fillAll(array, element);
    return array;
}

// An int32 array of shape [1, ..., 1, values.size()] with `dims` dimensions holding the
// values. std::invalid_argument for dims below 1, no values, or a value outside int32.
platform::ml::MultiArray from(const std::vector<int64_t>& values, int dims);

// The sum of index[i] * strides[i] over the positions both lists have (the shorter
// list decides); the array's own strides when none are given.
int64_t linearOffset(const platform::ml::MultiArray& array, const std::vector<int64_t>& index,
                     const std::optional<std::vector<int64_t>>& strides = std::nullopt);

// Sets elements begin..end-1 of a [1, 1, N] half-float array. std::invalid_argument, with
// nothing written, for another shape or type, or a range outside 0..N.
void fillLastDimension(platform::ml::MultiArray& array, int64_t begin, int64_t end, platform::ml::Half value);

// Sets the element at each index list to `value` converted to the element type
// (std::invalid_argument before any write if it does not fit). Index lists of the wrong
// length or out of bounds are skipped.
template <class T> void fill(platform::ml::MultiArray& array, const std::vector<std::vector<int64_t>>& indexes, T value) {
    detail::fillAt(array, indexes, detail::elementBytes(value, array.dataType()));
}

// Tensor reads. UnsupportedScalarTypeError for a type they cannot read.
std::vector<int64_t> toIntArray(const platform::ml::Tensor& tensor);    // int32 only
std::vector<float> toFloatArray(const platform::ml::Tensor& tensor);    // float32, float16, int32
platform::ml::MultiArray toMLMultiArray(const platform::ml::Tensor& tensor);  // same shape and type

}  // namespace bexmor
