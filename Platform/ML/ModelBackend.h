#pragma once

#include <memory>

#include "Platform/ML/Features.h"
#include "Platform/ML/Model.h"

namespace platform::ml {

// What one kind of model computes. Backends are immutable after construction, so
// predictions may run concurrently.
class ModelBackend {
public:
    virtual ~ModelBackend() = default;
    // `state` is null for stateless models and otherwise the caller's state.
    virtual FeatureProvider predict(const FeatureProvider& inputs, ModelStateHandle* state) const = 0;
    virtual std::unique_ptr<ModelStateHandle> makeState() const { return nullptr; }
    // A small prediction that touches every weight, for prewarming; empty if none.
    virtual void warmUp() const {}
};

}  // namespace platform::ml
