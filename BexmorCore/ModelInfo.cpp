#include "BexmorCore/ModelInfo.h"

#include <utility>
#include <vector>

#include "BexmorCore/ComputeUnitsText.h"

namespace bexmor {

namespace fs = std::filesystem;

ModelInfo::ModelInfo(std::optional<std::string> version, std::optional<std::string> variant, std::string name,
                     platform::ml::ComputeUnits computeUnits)
    : version(std::move(version)), variant(std::move(variant)), name(std::move(name)), computeUnits(computeUnits) {}

std::string ModelInfo::downloadPattern() const {
    return name + "/" + version.value_or("*") + "/" + variant.value_or("*") + "/*";
}

fs::path ModelInfo::modelURL(const fs::path& baseURL) const {
    fs::path url = baseURL / name;
    if (version) url /= *version;
    if (variant) url /= *variant;
    return url;
}

std::optional<fs::path> ModelInfo::findBaseFolder(const fs::path& url) const {
    // Components as a file URL has them: the root "/" counts as one, a trailing
    // separator adds none.
    std::vector<std::string> components;
    if (url.has_root_directory()) components.push_back(url.root_path().string());
    for (const auto& piece : url.relative_path()) {
        if (!piece.empty()) components.push_back(piece.string());
    }
    if (components.size() < 2) return std::nullopt;
    auto rebuild = [&](size_t count) {
        fs::path result;
        for (size_t i = 0; i < count; ++i) result /= components[i];
        return result;
    };
    for (size_t count = components.size(); count > 1; --count) {
        if (components[count - 1] == name) return rebuild(count - 1);
    }
    return std::nullopt;
}

std::string ModelInfo::description() const {
    std::string text = name;
    if (version) text += "/" + *version;
    if (variant) text += "/" + *variant;
    return text;
}

std::string ModelInfo::debugDescription() const {
    return "ModelInfo(name: " + name + ", version: " + version.value_or("nil") + ", variant: " +
           variant.value_or("nil") + ", computeUnit: " + bexmor::description(computeUnits) + ")";
}

}  // namespace bexmor
