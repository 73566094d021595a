#pragma once

#include <filesystem>
#include <future>
#include <memory>

#include "Platform/ML/ComputeUnits.h"
#include "Platform/ML/Features.h"
#include "Platform/ML/MatrixProduct.h"
#include "Platform/ML/ThreadTeam.h"

namespace platform::ml {

class ModelBackend;

// The state of a stateful model (the decoder's key-value cache). Opaque to callers;
// one state serves one caller at a time.
class ModelStateHandle {
public:
    virtual ~ModelStateHandle() = default;

protected:
    ModelStateHandle() = default;
};

struct ModelConfiguration {
    ComputeUnits computeUnits = ComputeUnits::all;
    // The arithmetic of the encoder's matrix products (see MatrixPrecision).
    MatrixPrecision matrixPrecision = MatrixPrecision::automatic;
};

struct PredictionOptions {};

// A loaded model of a ".mlmodelc" folder (model.json and weights.safetensors).
// Predictions are thread-safe; concurrent ones share the OpenMP pool.
class Model : public std::enable_shared_from_this<Model> {
public:
    // MlError: modelNotFound (no such folder or file), unsupported (a ".mlpackage" or
    // an unknown kind), invalidModel (a malformed model.json or weights file; the message
    // names the file and the tensor).
    static std::shared_ptr<Model> load(const std::filesystem::path& mlmodelc, const ModelConfiguration& configuration = {});
    // Loads the model, runs one small prediction, releases it.
    static void prewarm(const std::filesystem::path& mlmodelc, const ModelConfiguration& configuration = {});

    ~Model();

    const ModelDescription& modelDescription() const { return description_; }
    const ModelConfiguration& configuration() const { return configuration_; }
    const std::filesystem::path& path() const { return path_; }
    // "mel", "encoder" or "decoder".
    const std::string& kind() const { return kind_; }
    // The precision the encoder-side products actually use.
    MatrixPrecision matrixPrecision() const { return precision_; }

    // Inputs are checked against the description (MlError badInput). A stateful model
    // run without a state starts from a fresh one.
    FeatureProvider prediction(const FeatureProvider& inputs, const PredictionOptions& options = {}) const;
    FeatureProvider prediction(const FeatureProvider& inputs, ModelStateHandle& state,
                               const PredictionOptions& options = {}) const;
    // Runs on a thread of its own; the task keeps the model alive until it ends.
    std::future<FeatureProvider> predictionAsync(FeatureProvider inputs, PredictionOptions options = {}) const;

    // MlError(unsupported) for a model without state.
    std::unique_ptr<ModelStateHandle> makeState() const;

private:
    Model() = default;
    void checkInputs(const FeatureProvider& inputs) const;
    // The stateful model is the decoder, whose steps are many short parallel regions.
    TeamSharing teamSharing() const {
        return description_.hasState ? TeamSharing::freeProcessors : TeamSharing::fairShare;
    }

    std::filesystem::path path_;
    std::string kind_;
    ModelConfiguration configuration_;
    MatrixPrecision precision_ = MatrixPrecision::float32;
    ModelDescription description_;
    std::unique_ptr<ModelBackend> backend_;
};

}  // namespace platform::ml
