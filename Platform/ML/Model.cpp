#include "Platform/ML/Model.h"

#include <malloc.h>

#include "Platform/ML/AudioEncoderBackend.h"
#include "Platform/ML/MelSpectrogramBackend.h"
#include "Platform/ML/MlError.h"
#include "Platform/ML/ModelSpec.h"
#include "Platform/ML/TextDecoderBackend.h"
#include "Platform/ML/ThreadTeam.h"
#include "Platform/ML/WeightsFile.h"

namespace platform::ml {

Model::~Model() = default;

std::shared_ptr<Model> Model::load(const std::filesystem::path& mlmodelc, const ModelConfiguration& configuration) {
    std::error_code ec;
    if (mlmodelc.extension() == ".mlpackage" || mlmodelc.filename() == "model.mlmodel")
        throw MlError(MlError::Code::unsupported,
                      mlmodelc.string() + ": model packages are not supported; a compiled \".mlmodelc\" folder is needed");
    if (!std::filesystem::is_directory(mlmodelc, ec))
        throw MlError(MlError::Code::modelNotFound, mlmodelc.string() + ": no model folder there");
    const ModelSpec spec = ModelSpec::read(mlmodelc / "model.json");
    const WeightsFile weights(mlmodelc / "weights.safetensors");
    spec.checkWeights(weights, mlmodelc / "model.json");

    std::shared_ptr<Model> model(new Model());
    model->path_ = mlmodelc;
    model->kind_ = spec.kind;
    model->configuration_ = configuration;
    model->description_ = spec.description();
    model->precision_ = resolvePrecision(configuration.matrixPrecision);
    try {
        // Converting the weights runs on the team an encoder prediction would get.
        const ThreadTeam team(TeamSharing::fairShare);
        if (spec.kind == "mel") model->backend_ = std::make_unique<MelSpectrogramBackend>(spec, weights);
        else if (spec.kind == "encoder") model->backend_ = std::make_unique<AudioEncoderBackend>(spec, weights, model->precision_);
        else model->backend_ = std::make_unique<TextDecoderBackend>(spec, weights, model->precision_);
    } catch (const std::bad_alloc&) {
        throw MlError(MlError::Code::allocation, mlmodelc.string() + ": not enough memory for the model's weights");
    }
    // The conversions leave freed float32 copies of the weights in the heap, which the
    // allocator would keep for the process's lifetime (about 120 MB with the large model).
    malloc_trim(0);
    return model;
}

void Model::prewarm(const std::filesystem::path& mlmodelc, const ModelConfiguration& configuration) {
    const auto model = load(mlmodelc, configuration);
    const ThreadTeam team(model->teamSharing());
    model->backend_->warmUp();
}

void Model::checkInputs(const FeatureProvider& inputs) const {
    for (const auto& [name, description] : description_.inputDescriptionsByName) {
        const FeatureValue* value = inputs.featureValue(name);
        if (value == nullptr) continue;  // each kind says which inputs it needs
        const MultiArray* array = std::get_if<MultiArray>(value);
        if (array == nullptr) throw MlError(MlError::Code::badInput, "The input \"" + name + "\" must be a multi-array");
        const auto& c = *description.multiArrayConstraint;
        if (array->dataType() != c.dataType)
            throw MlError(MlError::Code::badInput, "The input \"" + name + "\" must hold " + dataTypeName(c.dataType) +
                                                       ", not " + dataTypeName(array->dataType()));
        bool fits = array->shape().size() == c.shape.size();
        for (size_t i = 0; fits && i < c.shape.size(); ++i) fits = c.shape[i] == -1 || c.shape[i] == array->shape()[i];
        if (!fits)
            throw MlError(MlError::Code::badInput, "The input \"" + name + "\" has shape " + shapeText(array->shape()) +
                                                       ", expected " + shapeText(c.shape));
    }
}

FeatureProvider Model::prediction(const FeatureProvider& inputs, const PredictionOptions&) const {
    checkInputs(inputs);
    const ThreadTeam team(teamSharing());
    if (description_.hasState) {
        auto state = backend_->makeState();
        return backend_->predict(inputs, state.get());
    }
    return backend_->predict(inputs, nullptr);
}

FeatureProvider Model::prediction(const FeatureProvider& inputs, ModelStateHandle& state, const PredictionOptions&) const {
    if (!description_.hasState)
        throw MlError(MlError::Code::unsupported, path_.string() + ": this model has no state");
    checkInputs(inputs);
    const ThreadTeam team(teamSharing());
    return backend_->predict(inputs, &state);
}

std::future<FeatureProvider> Model::predictionAsync(FeatureProvider inputs, PredictionOptions options) const {
    return std::async(std::launch::async, [self = shared_from_this(), inputs = std::move(inputs), options] {
        return self->prediction(inputs, options);
    });
}

std::unique_ptr<ModelStateHandle> Model::makeState() const {
    if (!description_.hasState) throw MlError(MlError::Code::unsupported, path_.string() + ": this model has no state");
    return backend_->makeState();
}

}  // namespace platform::ml
