#pragma once

#include <filesystem>

#include "Platform/ML/ComputeUnits.h"

namespace bexmor {

// The shape of a component that loads and unloads one model. Loading blocks (callers run
// it on a worker thread) and throws on failure; unloading cannot fail.
class MLModelLoading {
public:
    virtual ~MLModelLoading() = default;
    virtual void loadModel(const std::filesystem::path& path, platform::ml::ComputeUnits computeUnits,
                           bool prewarmMode) = 0;
    virtual void unloadModel() = 0;

    // loadModel with prewarmMode false. Named apart so that an implementation's
    // loadModel does not hide it.
    void loadModelForUse(const std::filesystem::path& path, platform::ml::ComputeUnits computeUnits) {
        loadModel(path, computeUnits, false);
    }
};

}  // namespace bexmor
