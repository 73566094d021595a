#pragma once

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "BexmorCore/ModelInfo.h"
#include "BexmorCore/ModelLoader.h"
#include "Platform/ML/Model.h"

namespace managertest {

// A tiny model variant written by the model tool into `folder` (three .mlmodelc folders
// and the tokenizer files). Fails the test when the tool fails.
void writeTinyModel(const std::filesystem::path& folder, int seed = 1);

// The repository layout the tests serve: {name}/{version}/{variant}/{model files}.
bexmor::ModelInfo tinyModelInfo();

// A blocking point a test opens when it is ready: `arrive` counts the caller and waits.
class Gate {
public:
    void close();
    void open();
    void arrive();
    // Blocks until `count` callers have arrived in total.
    void waitForArrivals(int count);
    int arrivals() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool closed_ = false;
    int arrivals_ = 0;
};

// A loader as an engine would write one: it resolves its model through the downloader
// (the hub's repository, cached or downloaded) and loads the three models with the CPU
// runtime. It counts its calls and can be held at a gate.
class HubModelLoader : public bexmor::ModelLoader {
public:
    explicit HubModelLoader(std::optional<std::string> folder = std::nullopt) : folder_(std::move(folder)) {}

    std::optional<std::string> modelFolder() const override { return folder_; }
    std::string resolveModels(const bexmor::ModelDownloader& downloader, const ProgressCallback& progressCallback) override;
    void load(const std::string& path, bool prewarm) override;
    void unload() noexcept override;

    std::atomic<int> resolves{0};
    std::atomic<int> loads{0};
    std::atomic<int> prewarms{0};
    std::atomic<int> unloads{0};
    Gate resolveGate;
    Gate loadGate;
    std::vector<std::string> loadedPaths() const;
    size_t loadedModels() const;

private:
    std::optional<std::string> folder_;
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<platform::ml::Model>> models_;
    std::vector<std::string> paths_;
};

}  // namespace managertest
