#include "Vocarion/Core/Constants.h"

#include <algorithm>
#include <cstdlib>

namespace vocarion {

std::string Constants::defaultRemoteEndpoint() {
    // The hub client lets "HUB_ENDPOINT" replace its default even when empty; the engine's
    // default follows the same rule so both always name the same hub.
    if (const char* value = std::getenv("HUB_ENDPOINT")) {
        return value;
    }
    return std::string(publishedModelsEndpoint);
}

std::optional<std::string_view> Constants::languageName(std::string_view code) {
    for (const auto& [languageCode, name] : languages) {
        if (languageCode == code) {
            return name;
        }
    }
    return std::nullopt;
}

std::optional<std::string_view> Constants::languageCode(std::string_view codeOrName) {
    std::string lowered(codeOrName);
    std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                   [](unsigned char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : char(c); });
    for (const auto& [code, name] : languages) {
        if (code == lowered || name == lowered) {
            return code;
        }
    }
    return std::nullopt;
}

}  // namespace vocarion
