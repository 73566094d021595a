#pragma once

#include <stdexcept>
#include <string>

namespace platform::ml {

// The one error of the runtime. The code tells callers what went wrong; the message names
// the file, feature or tensor concerned.
struct MlError : std::runtime_error {
    enum class Code { modelNotFound, invalidModel, badInput, unsupported, allocation };

    MlError(Code c, const std::string& message) : std::runtime_error(message), code(c) {}

    Code code;
};

}  // namespace platform::ml
