#pragma once

#include <filesystem>
#include <memory>
#include <mutex>

namespace platform::ml {
class Model;
enum class ComputeUnits : int;
}  // namespace platform::ml

namespace vocarion {

// A default component that runs one model file: the engine loads the model into it and
// unloads it again. Prewarming loads the model once and lets it go, so the next real load
// finds everything prepared and the file's errors surface early.
class ModelComponent {
public:
    virtual ~ModelComponent() = default;

    void loadModel(const std::filesystem::path& path, platform::ml::ComputeUnits computeUnits, bool prewarmMode);
    void unloadModel();
    bool isLoaded() const;

protected:
    // The loaded model; throws the engine's "models unavailable" error when none is loaded.
    std::shared_ptr<const platform::ml::Model> requireModel(const char* componentName) const;

private:
    mutable std::mutex mutex_;
    std::shared_ptr<const platform::ml::Model> model_;
};

}  // namespace vocarion
