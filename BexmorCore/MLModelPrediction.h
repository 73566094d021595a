#pragma once

#include <future>
#include <memory>

#include "Platform/ML/Model.h"

namespace bexmor {

// Prediction on a loaded model, plain and with a model state. They block until the
// result is there (the engine calls them from its worker threads) and let the runtime's
// errors through unchanged. The future forms run the prediction on a thread of their
// own; cancelling the caller does not cancel it.
platform::ml::FeatureProvider asyncPrediction(const platform::ml::Model& model, const platform::ml::FeatureProvider& input,
                                              const platform::ml::PredictionOptions& options = {});
platform::ml::FeatureProvider asyncPrediction(const platform::ml::Model& model, const platform::ml::FeatureProvider& input,
                                              platform::ml::ModelStateHandle& state,
                                              const platform::ml::PredictionOptions& options = {});
std::future<platform::ml::FeatureProvider> predictionFuture(std::shared_ptr<const platform::ml::Model> model,
                                                            platform::ml::FeatureProvider input,
                                                            platform::ml::PredictionOptions options = {});

}  // namespace bexmor
