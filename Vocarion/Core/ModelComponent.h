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
// unloads it again. Prewarming a loaded model runs one prediction on it, so the first real
// window pays no cold start; prewarming without a loaded model loads the file, runs that
// prediction and lets the model go, so its errors surface early.
class ModelComponent {
public:
    virtual ~ModelComponent() = default;

    virtual void loadModel(const std::filesystem::path& path, platform::ml::ComputeUnits computeUnits, bool prewarmMode);
    void unloadModel();
    bool isLoaded() const;

    // One prediction on the loaded model, through the component's own path.
    virtual void warmUp() const {}

protected:
    // The loaded model; throws the engine's "models unavailable" error when none is loaded.
    std::shared_ptr<const platform::ml::Model> requireModel(const char* componentName) const;

private:
    mutable std::mutex mutex_;
    std::shared_ptr<const platform::ml::Model> model_;
};

}  // namespace vocarion
