#include "Platform/ML/Tensor.h"

namespace platform::ml {

std::string scalarTypeName(ScalarType type) {
    switch (type) {
    case ScalarType::float16: return "Float16";
    case ScalarType::float32: return "Float";
    case ScalarType::int32: return "Int32";
    case ScalarType::float64: return "Double";
    case ScalarType::int8: return "Int8";
    }
    return "Unknown";
}

size_t scalarSize(ScalarType type) {
    switch (type) {
    case ScalarType::float16: return 2;
    case ScalarType::float32: return 4;
    case ScalarType::int32: return 4;
    case ScalarType::float64: return 8;
    case ScalarType::int8: return 1;
    }
    return 0;
}

}  // namespace platform::ml
