#include <chrono>
#include <exception>
#include <filesystem>
#include <fstream>
#include <thread>

#include "BexmorCore/BexmorCoreError.h"
#include "BexmorCore/External/Hub/HubErrors.h"
#include "BexmorCore/ModelManager.h"
#include "support/Wait.h"
#include "ManagerFixture.h"
#include "Platform/ML/MlError.h"

namespace managertest {
namespace {

namespace fs = std::filesystem;
using bexmor::ModelState;
using Transition = std::pair<ModelState, ModelState>;

// A manager subclass, as an engine would write one; it also lets the tests see how many
// callers wait for the shared load.
class WatchedManager : public bexmor::ModelManager {
public:
    using ModelManager::ModelManager;
    size_t waiting() const { return coordinator().waitingCount(); }
};

// Runs ensureModelsLoaded on a thread and keeps what it threw.
struct Caller {
    std::exception_ptr error;
    std::thread thread;
    explicit Caller(std::shared_ptr<WatchedManager> manager)
        : thread([this, manager] {
              try {
                  manager->ensureModelsLoaded();
              } catch (...) {
                  error = std::current_exception();
              }
          }) {}
    void join() { thread.join(); }
};

class ModelManagerTest : public ManagerFixture {
protected:
    std::shared_ptr<WatchedManager> makeManager(std::shared_ptr<HubModelLoader> withLoader) {
        auto made = std::make_shared<WatchedManager>(withLoader, downloader());
        made->setModelStateCallback([this](ModelState from, ModelState to) {
            std::scoped_lock lock(transitionMutex);
            transitions.emplace_back(from, to);
        });
        return made;
    }
    std::vector<Transition> seen() {
        std::scoped_lock lock(transitionMutex);
        return transitions;
    }
    void forget() {
        std::scoped_lock lock(transitionMutex);
        transitions.clear();
    }
    // Waits until `count` callers wait in the manager's shared load.
    static void waitForWaiters(const WatchedManager& manager, size_t count) {
        ASSERT_TRUE(testsupport::waitUntil([&] { return manager.waiting() >= count; }));
    }
    // Two ensureModelsLoaded callers, the second arriving while the first is held at
    // `gate`; what each threw once the gate has opened and both have returned.
    static std::pair<std::exception_ptr, std::exception_ptr> twoCallers(const std::shared_ptr<WatchedManager>& manager,
                                                                        Gate& gate) {
        gate.close();
        Caller first(manager);
        gate.waitForArrivals(1);
        Caller second(manager);
        waitForWaiters(*manager, 2);
        gate.open();
        first.join();
        second.join();
        return {first.error, second.error};
    }
    // A local folder holding the tiny model.
    fs::path localModel() {
        const fs::path folder = temp.path() / "local";
        fs::copy(tinyModel(), folder, fs::copy_options::recursive);
        return folder;
    }
    // Serves a variant whose encoder weights are cut short: it downloads, and cannot load.
    void serveBrokenEncoder() {
        std::string weights = readFile(tinyModel() / "AudioEncoder.mlmodelc/weights.safetensors");
        weights.resize(weights.size() / 2);
        hub.setFile(kRepo, std::string(kVariantPath) + "/AudioEncoder.mlmodelc/weights.safetensors", weights);
    }

    std::shared_ptr<HubModelLoader> loader = std::make_shared<HubModelLoader>();
    std::mutex transitionMutex;
    std::vector<Transition> transitions;
};

template <class Call>
std::string coreErrorMessage(Call call) {
    try {
        call();
    } catch (const bexmor::BexmorCoreError& error) {
        EXPECT_EQ(error.kind(), bexmor::BexmorCoreError::Kind::invalidConfiguration);
        return error.what();
    }
    ADD_FAILURE() << "no BexmorCoreError";
    return "";
}


const std::vector<Transition> kLoadedFromScratch{{ModelState::unloaded, ModelState::downloading},
                                                 {ModelState::downloading, ModelState::downloaded},
                                                 {ModelState::downloaded, ModelState::loading},
                                                 {ModelState::loading, ModelState::loaded}};

TEST_F(ModelManagerTest, ConcurrentRequestsShareOneResolveAndOneLoad) {
    auto manager = makeManager(loader);
    const auto [firstError, secondError] = twoCallers(manager, loader->resolveGate);

    EXPECT_FALSE(firstError);
    EXPECT_FALSE(secondError);
    EXPECT_EQ(loader->resolves, 1);
    EXPECT_EQ(loader->loads, 1);
    EXPECT_EQ(loader->prewarms, 0);
    EXPECT_EQ(seen(), kLoadedFromScratch);
    EXPECT_TRUE(manager->isLoaded());
    EXPECT_TRUE(manager->isAvailable());
    EXPECT_EQ(loader->loadedModels(), 3u);
    EXPECT_EQ(manager->modelPath(), repoFolder() / kVariantPath);
    EXPECT_TRUE(logged("[WatchedManager] Starting download process..."));
    EXPECT_TRUE(logged("[WatchedManager] Models downloaded to " + (repoFolder() / kVariantPath).string()));
    EXPECT_TRUE(logged("[WatchedManager] Models loaded successfully"));

    // Loaded: returns at once, with no callback and no log line.
    forget();
    const size_t linesBefore = lines().size();
    manager->ensureModelsLoaded();
    EXPECT_TRUE(seen().empty());
    EXPECT_EQ(lines().size(), linesBefore);
    EXPECT_EQ(loader->resolves, 1);
}

TEST_F(ModelManagerTest, FailedLoadFailsEveryWaiterWithTheSameErrorAndTheNextCallRetries) {
    serveBrokenEncoder();
    auto manager = makeManager(loader);
    const auto [firstError, secondError] = twoCallers(manager, loader->loadGate);

    ASSERT_TRUE(firstError);
    EXPECT_EQ(firstError, secondError);  // the very same exception object
    try {
        std::rethrow_exception(firstError);
    } catch (const platform::ml::MlError& error) {
        EXPECT_EQ(error.code, platform::ml::MlError::Code::invalidModel);
        EXPECT_TRUE(logged(std::string("[WatchedManager] Failed to load models: ") + error.what()));
    }
    EXPECT_EQ(loader->resolves, 1);
    EXPECT_EQ(loader->loads, 1);
    EXPECT_EQ(manager->modelState(), ModelState::unloaded);
    EXPECT_EQ(manager->modelPath(), repoFolder() / kVariantPath);  // kept after a failed load
    const std::vector<Transition> failed{{ModelState::unloaded, ModelState::downloading},
                                         {ModelState::downloading, ModelState::downloaded},
                                         {ModelState::downloaded, ModelState::loading},
                                         {ModelState::loading, ModelState::unloaded}};
    EXPECT_EQ(seen(), failed);

    // A third call starts a new attempt: resolve (from the cache now) and load again.
    Caller third(manager);
    third.join();
    ASSERT_TRUE(third.error);
    EXPECT_NE(third.error, firstError);
    EXPECT_EQ(loader->resolves, 2);
    EXPECT_EQ(loader->loads, 2);
}

TEST_F(ModelManagerTest, TransientHubFailureFailsBothWaitersAndARetryLoads) {
    hub.failListings(500, 1);
    auto manager = makeManager(loader);
    const auto [firstError, secondError] = twoCallers(manager, loader->resolveGate);

    ASSERT_TRUE(firstError);
    EXPECT_EQ(firstError, secondError);
    EXPECT_THROW(std::rethrow_exception(firstError), bexmor::HubClientError);
    EXPECT_EQ(manager->modelState(), ModelState::unloaded);
    EXPECT_EQ(manager->modelPath(), std::nullopt);
    EXPECT_EQ(loader->loads, 0);
    EXPECT_TRUE(logged("[WatchedManager] Failed to download models: "));

    forget();
    manager->ensureModelsLoaded();
    EXPECT_TRUE(manager->isLoaded());
    EXPECT_EQ(loader->resolves, 2);
    EXPECT_EQ(loader->loads, 1);
    EXPECT_EQ(seen(), kLoadedFromScratch);
}

TEST_F(ModelManagerTest, NamedFolderWalksTheStateTableWithoutTheHub) {
    const fs::path folder = localModel();
    auto local = std::make_shared<HubModelLoader>(folder.string());
    auto manager = makeManager(local);
    EXPECT_EQ(manager->modelFolder(), folder);
    EXPECT_FALSE(manager->isAvailable());

    // unloaded -> downloaded directly; the folder becomes the model path.
    manager->downloadModels();
    EXPECT_EQ(seen(), (std::vector<Transition>{{ModelState::unloaded, ModelState::downloaded}}));
    EXPECT_EQ(manager->modelPath(), folder);
    EXPECT_EQ(local->resolves, 0);
    EXPECT_TRUE(logged("[WatchedManager] modelFolder is set, skipping download"));
    EXPECT_TRUE(manager->isAvailable());

    // Unloading what is only downloaded does nothing.
    forget();
    manager->unloadModels();
    EXPECT_TRUE(seen().empty());
    EXPECT_EQ(local->unloads, 0);

    manager->prewarmModels();
    EXPECT_EQ(manager->modelState(), ModelState::prewarmed);
    EXPECT_FALSE(manager->isAvailable());
    EXPECT_EQ(local->prewarms, 1);
    EXPECT_TRUE(logged("[WatchedManager] Models prewarmed successfully"));
    manager->prewarmModels();
    EXPECT_EQ(local->prewarms, 1);
    EXPECT_TRUE(logged("[WatchedManager] Models already prewarmed, skipping"));

    manager->loadModels();
    EXPECT_TRUE(manager->isLoaded());
    EXPECT_EQ(local->loadedPaths().back(), folder.string());
    EXPECT_EQ(seen(), (std::vector<Transition>{{ModelState::downloaded, ModelState::prewarming},
                                               {ModelState::prewarming, ModelState::prewarmed},
                                               {ModelState::prewarmed, ModelState::loading},
                                               {ModelState::loading, ModelState::loaded}}));

    // Loaded: download and load skip, prewarm is refused, nothing changes.
    forget();
    manager->downloadModels();
    EXPECT_TRUE(logged("[WatchedManager] Models already downloaded (state: Loaded), skipping download"));
    manager->loadModels();
    EXPECT_TRUE(logged("[WatchedManager] Models already loaded, skipping"));
    EXPECT_EQ(coreErrorMessage([&] { manager->prewarmModels(); }), "Cannot prewarm in state: Loaded");
    EXPECT_EQ(manager->modelState(), ModelState::loaded);
    EXPECT_TRUE(seen().empty());
    EXPECT_EQ(local->loads, 1);

    manager->unloadModels();
    EXPECT_EQ(seen(), (std::vector<Transition>{{ModelState::loaded, ModelState::unloading},
                                               {ModelState::unloading, ModelState::unloaded}}));
    EXPECT_EQ(local->unloads, 1);
    EXPECT_EQ(local->loadedModels(), 0u);
    EXPECT_EQ(manager->modelPath(), folder);

    // From unloaded, load runs the download step again first.
    forget();
    manager->loadModels();
    EXPECT_EQ(seen(), (std::vector<Transition>{{ModelState::unloaded, ModelState::downloaded},
                                               {ModelState::downloaded, ModelState::loading},
                                               {ModelState::loading, ModelState::loaded}}));
    EXPECT_EQ(hub.count("GET") + hub.count("HEAD"), 0);
}

TEST_F(ModelManagerTest, WrongStatesAreRefusedWhileADownloadRuns) {
    auto manager = makeManager(loader);
    loader->resolveGate.close();
    std::thread downloading([&] { manager->downloadModels(); });
    loader->resolveGate.waitForArrivals(1);
    ASSERT_EQ(manager->modelState(), ModelState::downloading);

    // No path yet: that failure comes before the state test.
    const std::string noPath = "No model path available. Call downloadModels() first, or provide modelFolder.";
    EXPECT_EQ(coreErrorMessage([&] { manager->loadModels(); }), noPath);
    EXPECT_EQ(coreErrorMessage([&] { manager->prewarmModels(); }), noPath);
    manager->downloadModels();  // in another state than unloaded: nothing happens
    manager->unloadModels();
    EXPECT_EQ(loader->resolves, 1);
    EXPECT_EQ(manager->modelState(), ModelState::downloading);
    loader->resolveGate.open();
    downloading.join();
    EXPECT_EQ(manager->modelState(), ModelState::downloaded);

    // With a path from the first download, a second download in flight makes load and
    // prewarm name the state.
    manager->loadModels();
    manager->unloadModels();
    loader->resolveGate.close();
    std::thread again([&] { manager->downloadModels(); });
    loader->resolveGate.waitForArrivals(2);
    forget();
    EXPECT_EQ(coreErrorMessage([&] { manager->prewarmModels(); }), "Cannot prewarm in state: Downloading");
    EXPECT_EQ(coreErrorMessage([&] { manager->ensureModelsLoaded(); }), "Cannot load in state: Downloading");
    EXPECT_TRUE(seen().empty());
    loader->resolveGate.open();
    again.join();
    manager->loadModels();
    EXPECT_TRUE(manager->isLoaded());
}

TEST_F(ModelManagerTest, FailedPrewarmEndsUnloadedAndDownloadFailureKeepsThePath) {
    const fs::path folder = localModel();
    std::ofstream(folder / "TextDecoder.mlmodelc/model.json", std::ios::trunc) << "{ not json";
    auto local = std::make_shared<HubModelLoader>(folder.string());
    auto manager = makeManager(local);
    EXPECT_THROW(manager->prewarmModels(), platform::ml::MlError);
    EXPECT_EQ(seen(), (std::vector<Transition>{{ModelState::unloaded, ModelState::downloaded},
                                               {ModelState::downloaded, ModelState::prewarming},
                                               {ModelState::prewarming, ModelState::unloaded}}));
    EXPECT_TRUE(logged("[WatchedManager] Failed to prewarm models: "));

    // A manager whose path came from a resolve keeps it when a later resolve fails.
    auto hubManager = makeManager(loader);
    hubManager->downloadModels();
    const auto path = hubManager->modelPath();
    ASSERT_TRUE(path);
    hubManager->loadModels();
    hubManager->unloadModels();
    forget();
    hub.failListings(500, 1);
    fs::remove_all(repoFolder());  // no cache left: the resolve must ask the hub
    EXPECT_THROW(hubManager->downloadModels(), bexmor::HubClientError);
    EXPECT_EQ(hubManager->modelPath(), path);
    EXPECT_EQ(seen(), (std::vector<Transition>{{ModelState::unloaded, ModelState::downloading},
                                               {ModelState::downloading, ModelState::unloaded}}));
}

TEST_F(ModelManagerTest, ProgressReachesTheCallerAndACallbackClearedMidwayIsNotCalledAgain) {
    auto manager = makeManager(loader);
    loader->resolveGate.close();
    std::vector<double> fractions;
    std::thread downloading([&] {
        manager->downloadModels([&](const bexmor::Progress& progress) { fractions.push_back(progress.fractionCompleted()); });
    });
    loader->resolveGate.waitForArrivals(1);
    manager->setModelStateCallback({});
    EXPECT_FALSE(manager->modelStateCallback());
    loader->resolveGate.open();
    downloading.join();
    manager->loadModels();
    EXPECT_TRUE(manager->isLoaded());
    EXPECT_EQ(seen(), (std::vector<Transition>{{ModelState::unloaded, ModelState::downloading}}));
    ASSERT_FALSE(fractions.empty());
    EXPECT_DOUBLE_EQ(fractions.back(), 1.0);
}

TEST_F(ModelManagerTest, BaseClassLogsUnderItsOwnNameAndCallbackSeesTheNewState) {
    auto local = std::make_shared<HubModelLoader>(localModel().string());
    auto manager = std::make_shared<bexmor::ModelManager>(local, downloader());
    std::vector<ModelState> observed;
    manager->setModelStateCallback([&](ModelState, ModelState) { observed.push_back(manager->modelState()); });
    manager->ensureModelsLoaded();
    EXPECT_EQ(observed, (std::vector{ModelState::downloaded, ModelState::loading, ModelState::loaded}));
    EXPECT_TRUE(logged("[ModelManager] Models loaded successfully"));
    EXPECT_EQ(local->resolves, 0);
}

// The shared load holds its manager: callers may drop theirs as soon as the call returns,
// whichever of them or the load's thread lets go last. A manager not owned by a
// shared_ptr works too (its callers keep it alive while they wait).
TEST_F(ModelManagerTest, ManagerMayBeReleasedRightAfterItsSharedLoad) {
    const fs::path folder = localModel();
    for (int round = 0; round < 4; ++round) {
        auto local = std::make_shared<HubModelLoader>(folder.string());
        auto manager = std::make_shared<WatchedManager>(local, downloader());
        std::weak_ptr<WatchedManager> watch = manager;
        std::thread caller([manager = std::move(manager)]() mutable {
            manager->ensureModelsLoaded();
            manager.reset();
        });
        caller.join();
        // The last owner may still be running the manager's destructor; it ends by
        // releasing the loader.
        EXPECT_TRUE(testsupport::waitUntil([&] { return watch.expired() && local.use_count() == 1; }));
        EXPECT_TRUE(watch.expired());
        EXPECT_EQ(local.use_count(), 1);
        EXPECT_EQ(local->loads, 1);
    }

    auto local = std::make_shared<HubModelLoader>(folder.string());
    {
        WatchedManager owned(local, downloader());
        owned.ensureModelsLoaded();
        EXPECT_TRUE(owned.isLoaded());
    }
    EXPECT_EQ(local.use_count(), 1);
}

}  // namespace
}  // namespace managertest
