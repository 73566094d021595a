#pragma once

#include <functional>
#include <optional>
#include <string>

#include "BexmorCore/External/Hub/Progress.h"

namespace bexmor {

class ModelDownloader;

// What a model manager needs from an engine: a folder of models, and loading, prewarming
// and releasing them. Calls block the calling thread; the manager never holds its lock
// while it calls a loader.
class ModelLoader {
public:
    using ProgressCallback = std::function<void(const Progress&)>;

    virtual ~ModelLoader() = default;

    // A local folder the loader was set up with; when present the manager never asks
    // for a download.
    virtual std::optional<std::string> modelFolder() const = 0;
    // The path of the local model folder, found or fetched with the downloader.
    virtual std::string resolveModels(const ModelDownloader& downloader, const ProgressCallback& progressCallback) = 0;
    // Prewarms (true) or loads for use (false) the models of `path`.
    virtual void load(const std::string& path, bool prewarm) = 0;
    // Releases the models. Cannot fail.
    virtual void unload() noexcept = 0;
};

}  // namespace bexmor
