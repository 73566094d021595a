#include "BexmorCore/ModelUtilities.h"

#include <algorithm>

namespace bexmor {

namespace fs = std::filesystem;

namespace {

const char* const kPackageModel = "Data/com.apple.CoreML/model.mlmodel";

bool itemExists(const fs::path& p) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(p, ec)) && !ec;
}

// The folder's entries, sorted; empty when it cannot be listed.
std::optional<std::vector<fs::directory_entry>> listing(const fs::path& folder) {
    std::error_code ec;
    fs::directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec);
    if (ec) return std::nullopt;
    std::vector<fs::directory_entry> entries;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec) break;
        entries.push_back(*it);
    }
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.path() < b.path(); });
    return entries;
}

// Depth-first, each folder's entries in sorted order, as a deep enumerator walks.
std::optional<fs::path> findDeep(const fs::path& folder, const std::string& target, int depth) {
    if (depth > 64) return std::nullopt;  // a loop of bind mounts must not recurse forever
    const auto entries = listing(folder);
    if (!entries) return std::nullopt;
    for (const auto& entry : *entries) {
        if (entry.path().filename().string() == target) return entry.path();
        std::error_code ec;
        if (entry.is_directory(ec) && !entry.is_symlink(ec))
            if (auto found = findDeep(entry.path(), target, depth + 1)) return found;
    }
    return std::nullopt;
}

std::optional<std::vector<int64_t>> shapeOf(const std::map<std::string, platform::ml::FeatureDescription>& features,
                                            const std::string& name) {
    auto it = features.find(name);
    if (it == features.end() || it->second.type != platform::ml::FeatureType::multiArray ||
        !it->second.multiArrayConstraint)
        return std::nullopt;
    return it->second.multiArrayConstraint->shape;
}

std::optional<int64_t> dimensionOf(const std::optional<std::vector<int64_t>>& shape, int64_t position) {
    if (!shape || position < 0 || position >= int64_t(shape->size())) return std::nullopt;
    return (*shape)[size_t(position)];
}

}  // namespace

fs::path ModelUtilities::detectModelURL(const fs::path& folder, const std::string& name) {
    const fs::path compiled = folder / (name + ".mlmodelc");
    const fs::path package = folder / (name + ".mlpackage") / kPackageModel;
    const bool compiledExists = itemExists(compiled);
    const bool packageExists = itemExists(package);
    return !compiledExists && packageExists ? package : compiled;
}

fs::path ModelUtilities::detectModelURL(const fs::path& folder, const std::string& name, bool recursive) {
    if (!recursive) return detectModelURL(folder, name);
    const std::string target = name + ".mlmodelc";
    const fs::path direct = folder / target;
    if (itemExists(direct)) return direct;
    return findDeep(folder, target, 0).value_or(direct);
}

std::optional<fs::path> ModelUtilities::detectModelURL(const fs::path& folder) {
    const auto entries = listing(folder);
    if (!entries) return std::nullopt;
    for (const auto& e : *entries)
        if (e.path().extension() == ".mlmodelc") return e.path();
    for (const auto& e : *entries)
        if (e.path().extension() == ".mlpackage") return e.path() / kPackageModel;
    return std::nullopt;
}

std::optional<std::vector<int64_t>> ModelUtilities::getModelInputShape(const platform::ml::Model* model,
                                                                       const std::string& name) {
    if (model == nullptr) return std::nullopt;
    return shapeOf(model->modelDescription().inputDescriptionsByName, name);
}

std::optional<std::vector<int64_t>> ModelUtilities::getModelOutputShape(const platform::ml::Model* model,
                                                                        const std::string& name) {
    if (model == nullptr) return std::nullopt;
    return shapeOf(model->modelDescription().outputDescriptionsByName, name);
}

std::optional<int64_t> ModelUtilities::getModelInputDimension(const platform::ml::Model* model, const std::string& name,
                                                              int64_t position) {
    return dimensionOf(getModelInputShape(model, name), position);
}

std::optional<int64_t> ModelUtilities::getModelOutputDimension(const platform::ml::Model* model, const std::string& name,
                                                               int64_t position) {
    return dimensionOf(getModelOutputShape(model, name), position);
}

}  // namespace bexmor
