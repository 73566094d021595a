#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "Platform/ML/Half.h"
#include "Platform/ML/MlError.h"

namespace platform::ml {

// Raw values are those of the other platform's multi-array types; stored files and
// callers may compare them.
enum class MultiArrayDataType : int32_t {
    float16 = 0x10010,
    float32 = 0x10020,
    float64 = 0x10040,
    int32 = 0x20020,
    int8 = 0x20008,
};

size_t elementSize(MultiArrayDataType type);
std::string dataTypeName(MultiArrayDataType type);

template <class T> struct DataTypeOf;
template <> struct DataTypeOf<Half> { static constexpr MultiArrayDataType value = MultiArrayDataType::float16; };
template <> struct DataTypeOf<float> { static constexpr MultiArrayDataType value = MultiArrayDataType::float32; };
template <> struct DataTypeOf<double> { static constexpr MultiArrayDataType value = MultiArrayDataType::float64; };
template <> struct DataTypeOf<int32_t> { static constexpr MultiArrayDataType value = MultiArrayDataType::int32; };
template <> struct DataTypeOf<int8_t> { static constexpr MultiArrayDataType value = MultiArrayDataType::int8; };

// A shaped, typed, row-major buffer (64-byte aligned, zero-initialised). Copies share
// the storage, as the other platform's arrays do; `clone()` makes an independent copy.
class MultiArray {
public:
    // Throws MlError(badInput) for an empty shape, a dimension below 1 or a size that
    // overflows; MlError(allocation) when the memory cannot be had.
    MultiArray(std::vector<int64_t> shape, MultiArrayDataType type);

    const std::vector<int64_t>& shape() const { return shape_; }
    const std::vector<int64_t>& strides() const { return strides_; }  // in elements
    MultiArrayDataType dataType() const { return type_; }
    int64_t count() const { return count_; }
    size_t byteCount() const { return size_t(count_) * elementSize(type_); }

    void* data() { return storage_.get(); }
    const void* data() const { return storage_.get(); }

    // The elements as T; MlError(badInput) when T is not the element type.
    template <class T> std::span<T> elements() {
        checkType(DataTypeOf<T>::value);
        return {static_cast<T*>(data()), size_t(count_)};
    }
    template <class T> std::span<const T> elements() const {
        checkType(DataTypeOf<T>::value);
        return {static_cast<const T*>(data()), size_t(count_)};
    }

    MultiArray clone() const;

private:
    void checkType(MultiArrayDataType wanted) const;

    std::vector<int64_t> shape_;
    std::vector<int64_t> strides_;
    MultiArrayDataType type_;
    int64_t count_ = 0;
    std::shared_ptr<std::byte> storage_;
};

}  // namespace platform::ml
