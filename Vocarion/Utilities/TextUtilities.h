#pragma once

#include <string_view>

namespace vocarion {

// Small text measures of the engine.
struct TextUtilities {
    // How well a text compresses: its UTF-8 byte count over the byte count of its zlib
    // compression at the default level. Repetitive decoding (a phrase said again and
    // again) compresses well and scores high; ordinary speech scores about 1 to 2. An
    // empty text scores 0.
    static float compressionRatio(std::string_view text);
};

}  // namespace vocarion
