#include "BexmorCore/ModelManager.h"

#include <cstdlib>
#include <exception>
#include <typeinfo>
#include <utility>

#include "BexmorCore/BexmorCoreError.h"
#include "BexmorCore/Extensions.h"
#include "BexmorCore/Logging.h"

namespace bexmor {

namespace fs = std::filesystem;

namespace {

// A file URL of a path: relative paths count from the working folder.
fs::path fileURL(const std::string& path) {
    std::error_code error;
    fs::path absolute = fs::absolute(fs::path(path), error);
    return error ? fs::path(path) : absolute;
}

}  // namespace

ModelManager::ModelManager(std::shared_ptr<ModelLoader> loader, std::shared_ptr<const ModelDownloader> downloader)
    : downloader_(std::move(downloader)), loader_(std::move(loader)) {}

ModelState ModelManager::modelState() const {
    std::scoped_lock lock(mutex_);
    return modelState_;
}

ModelManager::StateCallback ModelManager::modelStateCallback() const {
    std::scoped_lock lock(mutex_);
    return modelStateCallback_;
}

void ModelManager::setModelStateCallback(StateCallback callback) {
    std::scoped_lock lock(mutex_);
    modelStateCallback_ = std::move(callback);
}

std::optional<fs::path> ModelManager::modelPath() const {
    std::scoped_lock lock(mutex_);
    return modelPath_;
}

std::optional<fs::path> ModelManager::modelFolder() const {
    const auto folder = loader_->modelFolder();
    if (!folder) return std::nullopt;
    return fileURL(*folder);
}

bool ModelManager::isAvailable() const {
    const ModelState state = modelState();
    return state == ModelState::loading || state == ModelState::loaded || state == ModelState::downloaded;
}

bool ModelManager::isLoaded() const { return modelState() == ModelState::loaded; }

const std::string& ModelManager::loggerName() const {
    std::call_once(loggerNameOnce_, [this] { loggerName_ = unqualifiedName(typeid(*this)); });
    return loggerName_;
}

std::string ModelManager::prefix() const { return "[" + loggerName(); }

std::optional<std::pair<ModelManager::StateCallback, ModelState>> ModelManager::exchangeLocked(ModelState state) {
    const ModelState old = std::exchange(modelState_, state);
    if (old == state || !modelStateCallback_) return std::nullopt;
    return std::make_pair(modelStateCallback_, old);
}

void ModelManager::setState(ModelState state) {
    std::optional<std::pair<StateCallback, ModelState>> call;
    {
        std::scoped_lock lock(mutex_);
        call = exchangeLocked(state);
    }
    if (call) call->first(call->second, state);
}

fs::path ModelManager::modelPathOrThrowLocked(const std::optional<fs::path>& folder) const {
    if (modelPath_) return *modelPath_;
    if (folder) return *folder;
    throw BexmorCoreError::invalidConfiguration(
        "No model path available. Call downloadModels() first, or provide modelFolder.");
}

void ModelManager::downloadModels(const ProgressCallback& progressCallback) {
    const auto folder = loader_->modelFolder();
    std::optional<std::pair<StateCallback, ModelState>> call;
    ModelState claimed;
    {
        std::unique_lock lock(mutex_);
        if (modelState_ != ModelState::unloaded) {
            const ModelState current = modelState_;
            lock.unlock();
            Logging::debug(prefix() + "] Models already downloaded (state: " + description(current) +
                           "), skipping download");
            return;
        }
        if (folder) {
            modelPath_ = fileURL(*folder);
            claimed = ModelState::downloaded;
        } else {
            claimed = ModelState::downloading;
        }
        call = exchangeLocked(claimed);
    }
    if (folder) {
        Logging::debug(prefix() + "] modelFolder is set, skipping download");
        if (call) call->first(call->second, claimed);
        return;
    }
    Logging::info(prefix() + "] Starting download process...");
    if (call) call->first(call->second, claimed);

    std::string path;
    failingToUnloaded("download", [&] { path = loader_->resolveModels(*downloader_, progressCallback); });
    {
        std::scoped_lock lock(mutex_);
        modelPath_ = fileURL(path);
        call = exchangeLocked(ModelState::downloaded);
    }
    if (call) call->first(call->second, ModelState::downloaded);
    Logging::info(prefix() + "] Models downloaded to " + path);
}

void ModelManager::prewarmModels() { loadOrPrewarm(true); }

void ModelManager::loadModels() { loadOrPrewarm(false); }

void ModelManager::failingToUnloaded(const char* verb, const std::function<void()>& work) {
    try {
        work();
    } catch (const std::exception& error) {
        setState(ModelState::unloaded);
        Logging::error(prefix() + "] Failed to " + verb + " models: " + error.what());
        throw;
    } catch (...) {
        setState(ModelState::unloaded);
        Logging::error(prefix() + "] Failed to " + verb + " models: unknown error");
        throw;
    }
}

void ModelManager::loadOrPrewarm(bool prewarm) {
    const std::string verb = prewarm ? "prewarm" : "load";
    const ModelState busy = prewarm ? ModelState::prewarming : ModelState::loading;
    const ModelState done = prewarm ? ModelState::prewarmed : ModelState::loaded;
    if (modelState() == ModelState::unloaded) downloadModels();
    const auto folder = modelFolder();
    fs::path path;
    std::optional<std::pair<StateCallback, ModelState>> call;
    {
        std::unique_lock lock(mutex_);
        path = modelPathOrThrowLocked(folder);
        if (modelState_ == done) {
            lock.unlock();
            Logging::debug(prefix() + "] Models already " + verb + "ed, skipping");
            return;
        }
        const bool ready = modelState_ == ModelState::downloaded || (!prewarm && modelState_ == ModelState::prewarmed);
        if (!ready) throw BexmorCoreError::invalidConfiguration("Cannot " + verb + " in state: " + description(modelState_));
        call = exchangeLocked(busy);
    }
    if (call) call->first(call->second, busy);
    failingToUnloaded(verb.c_str(), [&] { loader_->load(path.string(), prewarm); });
    setState(done);
    Logging::info(prefix() + "] Models " + verb + "ed successfully");
}

void ModelManager::unloadModels() {
    std::optional<std::pair<StateCallback, ModelState>> call;
    {
        std::scoped_lock lock(mutex_);
        if (modelState_ != ModelState::loaded && modelState_ != ModelState::prewarmed) return;
        call = exchangeLocked(ModelState::unloading);
    }
    if (call) call->first(call->second, ModelState::unloading);
    loader_->unload();
    setState(ModelState::unloaded);
}

void ModelManager::ensureModelsLoaded() {
    if (isLoaded()) return;
    // Every caller waits in run() until the shared load has ended, so the callers keep the
    // manager alive for it; the load's thread lets go of this lambda before they return.
    coordinator_.run([this] {
        if (isLoaded()) return;
        downloadModels();
        loadModels();
    });
}

}  // namespace bexmor
