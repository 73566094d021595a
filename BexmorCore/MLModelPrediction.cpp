#include "BexmorCore/MLModelPrediction.h"

namespace bexmor {

using namespace platform::ml;

FeatureProvider asyncPrediction(const Model& model, const FeatureProvider& input, const PredictionOptions& options) {
    return model.prediction(input, options);
}

FeatureProvider asyncPrediction(const Model& model, const FeatureProvider& input, ModelStateHandle& state,
                                const PredictionOptions& options) {
    return model.prediction(input, state, options);
}

std::future<FeatureProvider> predictionFuture(std::shared_ptr<const Model> model, FeatureProvider input,
                                              PredictionOptions options) {
    // The model is kept alive by the task, so it may outlive the caller's reference.
    return std::async(std::launch::async, [model = std::move(model), input = std::move(input), options] {
        return model->prediction(input, options);
    });
}

}  // namespace bexmor
