#include <exception>
#include <future>
#include <fstream>
#include <thread>

#include "BexmorCore/BexmorCoreError.h"
#include "BexmorCore/External/Hub/HubErrors.h"
#include "BexmorCore/ModelManager.h"
#include "ManagerFixture.h"
#include "Platform/ML/MlError.h"
#include "support/Wait.h"

namespace managertest {
namespace {

using bexmor::ModelState;
using Transition = std::pair<ModelState, ModelState>;
using Transitions = std::vector<Transition>;
constexpr ModelState unloaded = ModelState::unloaded, downloading = ModelState::downloading, downloaded = ModelState::downloaded,
                     loading = ModelState::loading, loaded = ModelState::loaded;

// A manager subclass, as an engine would write one, that shows how many callers wait for
// the shared load.
class WatchedManager : public bexmor::ModelManager {
public:
    using ModelManager::ModelManager;
    size_t waiting() const { return coordinator().waitingCount(); }
};

// Runs ensureModelsLoaded on a thread; the call's error, once it has returned.
std::future<std::exception_ptr> call(std::shared_ptr<WatchedManager> manager) {
    return std::async(std::launch::async, [manager]() -> std::exception_ptr {
        try {
            manager->ensureModelsLoaded();
        } catch (...) {
            return std::current_exception();
        }
        return nullptr;
    });
}

const auto coreError = [](auto&& call) { return messageOf<bexmor::BexmorCoreError>(call); };

class ModelManagerTest : public ManagerFixture {
protected:
    std::shared_ptr<WatchedManager> makeManager(std::shared_ptr<HubModelLoader> withLoader) {
        auto made = std::make_shared<WatchedManager>(withLoader, downloader());
        made->setModelStateCallback([this, manager = made.get()](ModelState from, ModelState to) {
            EXPECT_EQ(manager->modelState(), to) << "the callback sees the new state";
            std::scoped_lock lock(transitionMutex);
            transitions.emplace_back(from, to);
        });
        return made;
    }
    // The transitions since the last call.
    Transitions seen() {
        std::scoped_lock lock(transitionMutex);
        return std::exchange(transitions, {});
    }
    // Two callers, the second arriving while the first is held at `gate`; what each threw.
    static std::pair<std::exception_ptr, std::exception_ptr> twoCallers(const std::shared_ptr<WatchedManager>& manager, Gate& gate) {
        gate.closed = true;
        auto first = call(manager);
        gate.waitForArrivals(1);
        auto second = call(manager);
        EXPECT_TRUE(testsupport::waitUntil([&] { return manager->waiting() >= 2; }));
        gate.closed = false;
        return {first.get(), second.get()};
    }

    std::shared_ptr<HubModelLoader> loader = std::make_shared<HubModelLoader>();
    std::mutex transitionMutex;
    Transitions transitions;
};

const Transitions kLoadedFromScratch{{unloaded, downloading}, {downloading, downloaded}, {downloaded, loading}, {loading, loaded}};

TEST_F(ModelManagerTest, ConcurrentRequestsShareOneResolveAndOneLoad) {
    auto manager = makeManager(loader);
    const auto [firstError, secondError] = twoCallers(manager, loader->resolveGate);
    EXPECT_FALSE(firstError);
    EXPECT_FALSE(secondError);
    EXPECT_EQ(loader->resolves, 1);
    EXPECT_EQ(loader->loads, 1);
    EXPECT_EQ(seen(), kLoadedFromScratch);
    EXPECT_TRUE(manager->isLoaded());
    EXPECT_EQ(manager->modelPath(), repoFolder() / kVariantPath);

    // Loaded: returns at once, with no callback and no log line.
    const size_t lines = logCount();
    manager->ensureModelsLoaded();
    EXPECT_TRUE(seen().empty());
    EXPECT_EQ(logCount(), lines);
    EXPECT_EQ(loader->resolves, 1);
}

// A failed shared attempt fails every waiter with the very same error; the next call tries again.
TEST_F(ModelManagerTest, AFailedSharedAttemptFailsEveryWaiterAlikeAndTheNextCallTriesAgain) {
    auto manager = makeManager(loader);
    hub.failListings(500, 1);
    auto errors = twoCallers(manager, loader->resolveGate);
    ASSERT_TRUE(errors.first);
    EXPECT_EQ(errors.first, errors.second);
    EXPECT_THROW(std::rethrow_exception(errors.first), bexmor::HubClientError);
    EXPECT_EQ(seen(), (Transitions{{unloaded, downloading}, {downloading, unloaded}}));
    EXPECT_EQ(manager->modelPath(), std::nullopt);

    // The encoder's weights are cut short: the variant downloads, and cannot load.
    const std::string weights = std::string(kVariantPath) + "/AudioEncoder.mlmodelc/weights.safetensors";
    const std::string good = readFile(tinyModel() / "AudioEncoder.mlmodelc/weights.safetensors");
    hub.setFile(kRepo, weights, good.substr(0, good.size() / 2));
    errors = twoCallers(manager, loader->loadGate);
    ASSERT_TRUE(errors.first);
    EXPECT_EQ(errors.first, errors.second);
    const std::string message = messageOf<platform::ml::MlError>([&] { std::rethrow_exception(errors.first); });
    EXPECT_NE(message, "no error");
    EXPECT_TRUE(logged("[WatchedManager] Failed to load models: " + message));
    EXPECT_EQ(seen(), (Transitions{{unloaded, downloading}, {downloading, downloaded}, {downloaded, loading}, {loading, unloaded}}));
    EXPECT_EQ(manager->modelPath(), repoFolder() / kVariantPath);  // kept after a failed load

    hub.setFile(kRepo, weights, good);
    fs::remove_all(repoFolder());
    manager->ensureModelsLoaded();
    EXPECT_TRUE(manager->isLoaded());
    EXPECT_EQ(seen(), kLoadedFromScratch);
    EXPECT_EQ(loader->resolves, 3);
    EXPECT_EQ(loader->loads, 2);
}

TEST_F(ModelManagerTest, NamedFolderWalksTheStatesWithoutTheHub) {
    const fs::path folder = localModel();
    auto local = std::make_shared<HubModelLoader>(folder.string());
    auto manager = makeManager(local);
    manager->downloadModels();
    EXPECT_EQ(seen(), (Transitions{{unloaded, downloaded}}));
    EXPECT_EQ(manager->modelPath(), folder);
    manager->unloadModels();  // only downloaded: nothing to do
    EXPECT_TRUE(seen().empty());

    manager->prewarmModels();
    manager->prewarmModels();
    EXPECT_EQ(local->prewarms, 1);
    manager->loadModels();
    EXPECT_EQ(seen(), (Transitions{{downloaded, ModelState::prewarming}, {ModelState::prewarming, ModelState::prewarmed},
                                   {ModelState::prewarmed, loading}, {loading, loaded}}));

    // Loaded: download and load skip, prewarm is refused, nothing changes.
    manager->downloadModels();
    manager->loadModels();
    EXPECT_EQ(coreError([&] { manager->prewarmModels(); }), "Cannot prewarm in state: Loaded");
    EXPECT_TRUE(seen().empty());
    EXPECT_EQ(local->loads, 1);

    manager->unloadModels();
    EXPECT_EQ(seen(), (Transitions{{loaded, ModelState::unloading}, {ModelState::unloading, unloaded}}));
    EXPECT_EQ(local->unloads, 1);
    EXPECT_EQ(manager->modelPath(), folder);
    manager->loadModels();  // from unloaded the download step runs first
    EXPECT_EQ(seen(), (Transitions{{unloaded, downloaded}, {downloaded, loading}, {loading, loaded}}));
    EXPECT_EQ(local->resolves, 0);
    EXPECT_TRUE(hub.requests().empty());
}

TEST_F(ModelManagerTest, WrongStatesAreRefusedWhileADownloadRuns) {
    auto manager = makeManager(loader);
    loader->resolveGate.closed = true;
    std::thread downloadingThread([&] { manager->downloadModels(); });
    loader->resolveGate.waitForArrivals(1);
    // No path yet: that failure comes before the state test.
    const std::string noPath = "No model path available. Call downloadModels() first, or provide modelFolder.";
    EXPECT_EQ(coreError([&] { manager->loadModels(); }), noPath);
    EXPECT_EQ(coreError([&] { manager->prewarmModels(); }), noPath);
    manager->downloadModels();  // not unloaded: nothing happens
    manager->unloadModels();
    EXPECT_EQ(loader->resolves, 1);
    loader->resolveGate.closed = false;
    downloadingThread.join();
    EXPECT_EQ(manager->modelState(), downloaded);

    // With a path from the first download, a second download in flight is named.
    manager->loadModels();
    manager->unloadModels();
    loader->resolveGate.closed = true;
    std::thread again([&] { manager->downloadModels(); });
    loader->resolveGate.waitForArrivals(2);
    seen();
    EXPECT_EQ(coreError([&] { manager->prewarmModels(); }), "Cannot prewarm in state: Downloading");
    EXPECT_EQ(coreError([&] { manager->ensureModelsLoaded(); }), "Cannot load in state: Downloading");
    EXPECT_TRUE(seen().empty());
    loader->resolveGate.closed = false;
    again.join();
    manager->loadModels();
    EXPECT_TRUE(manager->isLoaded());
}

TEST_F(ModelManagerTest, AFailedPrewarmEndsUnloadedAndAFailedDownloadKeepsThePathOfTheLastOne) {
    const fs::path folder = localModel();
    std::ofstream(folder / "TextDecoder.mlmodelc/model.json", std::ios::trunc) << "{ not json";
    auto broken = makeManager(std::make_shared<HubModelLoader>(folder.string()));
    EXPECT_THROW(broken->prewarmModels(), platform::ml::MlError);
    EXPECT_EQ(seen(), (Transitions{{unloaded, downloaded}, {downloaded, ModelState::prewarming}, {ModelState::prewarming, unloaded}}));

    auto manager = makeManager(loader);
    std::vector<double> fractions;
    manager->downloadModels([&](const bexmor::Progress& progress) { fractions.push_back(progress.fractionCompleted()); });
    ASSERT_FALSE(fractions.empty());
    EXPECT_DOUBLE_EQ(fractions.back(), 1.0);
    const auto path = manager->modelPath();
    ASSERT_TRUE(path);
    manager->loadModels();
    manager->unloadModels();
    seen();
    hub.failListings(500, 1);
    fs::remove_all(repoFolder());  // no cache left: the resolve must ask the hub
    EXPECT_THROW(manager->downloadModels(), bexmor::HubClientError);
    EXPECT_EQ(manager->modelPath(), path);
    EXPECT_EQ(seen(), (Transitions{{unloaded, downloading}, {downloading, unloaded}}));
}

// The shared load holds its manager: callers may drop theirs as soon as the call returns,
// whichever of them or the load's thread lets go last. A manager not owned by a
// shared_ptr works too (its callers keep it alive while they wait).
TEST_F(ModelManagerTest, AManagerMayBeReleasedRightAfterItsSharedLoad) {
    const fs::path folder = localModel();
    for (int round = 0; round < 4; ++round) {
        auto local = std::make_shared<HubModelLoader>(folder.string());
        auto manager = std::make_shared<WatchedManager>(local, downloader());
        std::weak_ptr<WatchedManager> watch = manager;
        std::thread([manager = std::move(manager)]() mutable {
            manager->ensureModelsLoaded();
            manager.reset();
        }).join();
        // The last owner may still be running the manager's destructor.
        EXPECT_TRUE(testsupport::waitUntil([&] { return watch.expired() && local.use_count() == 1; }));
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
