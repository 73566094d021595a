#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "BexmorCore/LoadModelsCoordinator.h"
#include "BexmorCore/ModelDownloader.h"
#include "BexmorCore/ModelLoader.h"
#include "BexmorCore/ModelState.h"

namespace bexmor {

// Takes one set of models, kept in one local folder, through download, prewarm, load and
// unload, doing all file and model work through its ModelLoader, and tells an optional
// callback of every change of state (old, new).
//
//     auto manager = std::make_shared<bexmor::ModelManager>(loader, downloader);
//     manager->setModelStateCallback([](ModelState from, ModelState to) { ... });
//     manager->ensureModelsLoaded();   // from any number of threads: one shared load
//
// State, path and callback are guarded by a lock, so every member may be called from any
// thread; a state is tested and the following transient state (downloading, prewarming,
// loading, unloading) claimed in one step, so two callers never both pass the same test.
// Callbacks and the loader run outside the lock, on the calling thread (for
// ensureModelsLoaded: on the shared load's thread). Operations block while the loader
// works. A caller keeps its manager alive while its call runs; the shared load holds
// nothing of the manager once its callers have their outcome, so any of them may drop the
// last reference right after.
//
// Errors: BexmorCoreError (invalidConfiguration) for a missing model path or a state that
// forbids the operation; the loader's own errors unchanged.
class ModelManager {
public:
    using StateCallback = std::function<void(ModelState oldState, ModelState newState)>;
    using ProgressCallback = ModelLoader::ProgressCallback;

    ModelManager(std::shared_ptr<ModelLoader> loader, std::shared_ptr<const ModelDownloader> downloader);
    virtual ~ModelManager() = default;
    ModelManager(const ModelManager&) = delete;
    ModelManager& operator=(const ModelManager&) = delete;

    ModelState modelState() const;
    StateCallback modelStateCallback() const;
    // An empty function clears the callback; changes under way then call nothing more.
    void setModelStateCallback(StateCallback callback);
    // The model folder in use, set by downloadModels.
    std::optional<std::filesystem::path> modelPath() const;
    // The loader's folder, if it names one.
    std::optional<std::filesystem::path> modelFolder() const;
    // Loading, loaded or downloaded (not prewarmed).
    bool isAvailable() const;
    bool isLoaded() const;

    // Returns once the models are loaded; concurrent calls share one download-and-load,
    // and all of them get its error.
    virtual void ensureModelsLoaded();
    // unloaded -> downloaded (the loader's folder, or the loader resolves one); in any other
    // state it does nothing.
    virtual void downloadModels(const ProgressCallback& progressCallback = {});
    // downloaded -> prewarmed, downloading first when unloaded.
    virtual void prewarmModels();
    // downloaded or prewarmed -> loaded, downloading first when unloaded.
    virtual void loadModels();
    // loaded or prewarmed -> unloaded; in any other state it does nothing.
    virtual void unloadModels();

protected:
    // The coordinator of ensureModelsLoaded (for subclasses that watch it).
    const LoadModelsCoordinator& coordinator() const { return coordinator_; }

private:
    // Stores the state and tells the callback when it changed. Call without the lock.
    void setState(ModelState state);
    // Under the lock: moves to `state`, returning the callback to call (old, new) with.
    std::optional<std::pair<StateCallback, ModelState>> exchangeLocked(ModelState state);
    // Prewarms (true) or loads (false), downloading first when unloaded.
    void loadOrPrewarm(bool prewarm);
    // Runs the loader's work; on failure the state becomes unloaded, the failure is logged
    // ("Failed to {verb} models: ...") and rethrown.
    void failingToUnloaded(const char* verb, const std::function<void()>& work);
    std::filesystem::path modelPathOrThrowLocked(const std::optional<std::filesystem::path>& folder) const;
    const std::string& loggerName() const;
    std::string prefix() const;

    mutable std::mutex mutex_;
    ModelState modelState_ = ModelState::unloaded;
    StateCallback modelStateCallback_;
    std::optional<std::filesystem::path> modelPath_;

    std::shared_ptr<const ModelDownloader> downloader_;
    std::shared_ptr<ModelLoader> loader_;
    mutable std::once_flag loggerNameOnce_;
    mutable std::string loggerName_;
    LoadModelsCoordinator coordinator_;
};

}  // namespace bexmor
