#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "Platform/ML/ComputeUnits.h"

namespace bexmor {

// Which model of a repository: its files live under name/version/variant, version and
// variant only where present.
struct ModelInfo {
    ModelInfo(std::optional<std::string> version, std::optional<std::string> variant, std::string name,
              platform::ml::ComputeUnits computeUnits);

    std::optional<std::string> version;
    std::optional<std::string> variant;
    std::string name;
    // Kept for the caller; only shown in debugDescription().
    platform::ml::ComputeUnits computeUnits;

    // The glob of the model's files: name/{version|*}/{variant|*}/* ("m/*/v/*").
    std::string downloadPattern() const;
    // baseURL/name[/version][/variant].
    std::filesystem::path modelURL(const std::filesystem::path& baseURL) const;
    // The parent of the nearest folder named `name` on the way from `url` up to (not
    // including) the root; none when there is no such folder.
    std::optional<std::filesystem::path> findBaseFolder(const std::filesystem::path& url) const;

    // The present parts of name, version, variant joined with "/".
    std::string description() const;
    // "ModelInfo(name: m, version: nil, variant: v, computeUnit: all)".
    std::string debugDescription() const;
};

}  // namespace bexmor
