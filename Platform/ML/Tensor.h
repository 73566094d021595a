#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform::ml {

// Element types a tensor can carry. Only float16, float32 and int32 are read by the
// helpers; the others exist so that a tensor of another type can be refused by name.
enum class ScalarType { float16, float32, int32, float64, int8 };

// The unqualified name of a scalar type as error messages show it ("Float16", "Int8").
std::string scalarTypeName(ScalarType type);
size_t scalarSize(ScalarType type);

// A read-only result tensor: shape, scalar type and the row-major raw elements.
struct Tensor {
    std::vector<int64_t> shape;
    ScalarType type = ScalarType::float32;
    std::vector<std::byte> data;

    int64_t count() const {
        int64_t n = 1;
        for (int64_t d : shape) n *= d;
        return n;
    }
};

}  // namespace platform::ml
