#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "Platform/ML/Model.h"

namespace bexmor {

// Finding model files inside a model folder, and reading the shapes of a model's
// features. Nothing here throws.
class ModelUtilities {
public:
    ModelUtilities() = delete;

    // folder/name.mlmodelc, unless only the package (folder/name.mlpackage/Data/
    // com.apple.CoreML/model.mlmodel) exists; the compiled path also when neither does.
    static std::filesystem::path detectModelURL(const std::filesystem::path& folder, const std::string& name);
    // Recursive: the direct compiled path if it exists, else the first "name.mlmodelc"
    // found walking the folder (listings sorted, symbolic links not followed, unreadable
    // folders skipped), else the direct path. Packages are not searched for.
    static std::filesystem::path detectModelURL(const std::filesystem::path& folder, const std::string& name,
                                                bool recursive);
    // The first ".mlmodelc" item of the folder, else the model file of its first
    // ".mlpackage" item; none when there is neither or the folder cannot be listed.
    static std::optional<std::filesystem::path> detectModelURL(const std::filesystem::path& folder);

    static std::optional<std::vector<int64_t>> getModelInputShape(const platform::ml::Model* model, const std::string& name);
    static std::optional<std::vector<int64_t>> getModelOutputShape(const platform::ml::Model* model, const std::string& name);
    static std::optional<int64_t> getModelInputDimension(const platform::ml::Model* model, const std::string& name,
                                                         int64_t position);
    static std::optional<int64_t> getModelOutputDimension(const platform::ml::Model* model, const std::string& name,
                                                          int64_t position);
};

}  // namespace bexmor
