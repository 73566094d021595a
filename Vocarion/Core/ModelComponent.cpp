#include "Vocarion/Core/ModelComponent.h"

#include "Platform/ML/Model.h"
#include "Vocarion/Utilities/DarivirError.h"

namespace vocarion {

void ModelComponent::loadModel(const std::filesystem::path& path, platform::ml::ComputeUnits computeUnits,
                               bool prewarmMode) {
    platform::ml::ModelConfiguration configuration;
    configuration.computeUnits = computeUnits;
    if (prewarmMode) {
        if (isLoaded()) {
            warmUp();
        } else {
            platform::ml::Model::prewarm(path, configuration);
        }
        return;
    }
    auto model = platform::ml::Model::load(path, configuration);
    std::lock_guard lock(mutex_);
    model_ = std::move(model);
}

void ModelComponent::unloadModel() {
    std::lock_guard lock(mutex_);
    model_.reset();
}

bool ModelComponent::isLoaded() const {
    std::lock_guard lock(mutex_);
    return model_ != nullptr;
}

std::shared_ptr<const platform::ml::Model> ModelComponent::requireModel(const char* componentName) const {
    std::lock_guard lock(mutex_);
    if (!model_) throw DarivirError::modelsUnavailable(std::string(componentName) + " model is not loaded");
    return model_;
}

}  // namespace vocarion
