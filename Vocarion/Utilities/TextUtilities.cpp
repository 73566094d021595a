#include "Vocarion/Utilities/TextUtilities.h"

#include <vector>

#include <zlib.h>

namespace vocarion {

float TextUtilities::compressionRatio(std::string_view text) {
    if (text.empty()) return 0.0f;
    uLongf compressedSize = compressBound(static_cast<uLong>(text.size()));
    std::vector<Bytef> buffer(compressedSize);
    const int status = compress2(buffer.data(), &compressedSize, reinterpret_cast<const Bytef*>(text.data()),
                                 static_cast<uLong>(text.size()), Z_DEFAULT_COMPRESSION);
    // compress2 only fails for lack of memory or room, and compressBound gives the room;
    // should it fail anyway, report "does not compress" rather than a false alarm.
    if (status != Z_OK || compressedSize == 0) return 1.0f;
    return static_cast<float>(text.size()) / static_cast<float>(compressedSize);
}

}  // namespace vocarion
