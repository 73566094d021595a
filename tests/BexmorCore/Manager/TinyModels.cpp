#include "TinyModels.h"

#include <cstdlib>

#include <gtest/gtest.h>

#include "BexmorCore/ModelDownloader.h"
#include "BexmorCore/ModelUtilities.h"
#include "TestPaths.h"

namespace managertest {

namespace fs = std::filesystem;

void writeTinyModel(const fs::path& folder, int seed) {
    const std::string command = std::string(testsupport::kBinDir) + "/darivir-model tiny --out '" + folder.string() +
                                "' --seed " + std::to_string(seed) +
                                " --width 16 --heads 2 --encoder-layers 1 --decoder-layers 1 --audio-ctx 10 > /dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    ASSERT_TRUE(fs::exists(folder / "AudioEncoder.mlmodelc"));
}

bexmor::ModelInfo tinyModelInfo() { return bexmor::ModelInfo("v1", "tiny", "darivir", platform::ml::ComputeUnits::cpuOnly); }

void Gate::close() {
    std::scoped_lock lock(mutex_);
    closed_ = true;
}

void Gate::open() {
    {
        std::scoped_lock lock(mutex_);
        closed_ = false;
    }
    changed_.notify_all();
}

void Gate::arrive() {
    std::unique_lock lock(mutex_);
    ++arrivals_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return !closed_; });
}

void Gate::waitForArrivals(int count) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return arrivals_ >= count; });
}

int Gate::arrivals() const {
    std::scoped_lock lock(mutex_);
    return arrivals_;
}

std::string HubModelLoader::resolveModels(const bexmor::ModelDownloader& downloader,
                                          const ProgressCallback& progressCallback) {
    ++resolves;
    resolveGate.arrive();
    const auto info = tinyModelInfo();
    const fs::path repo = downloader.resolveRepo({info.downloadPattern()}, std::nullopt, true, progressCallback);
    return info.modelURL(repo).string();
}

void HubModelLoader::load(const std::string& path, bool prewarm) {
    ++(prewarm ? prewarms : loads);
    loadGate.arrive();
    std::vector<std::shared_ptr<platform::ml::Model>> models;
    for (const char* name : {"MelSpectrogram", "TextDecoder", "AudioEncoder"}) {
        const fs::path file = bexmor::ModelUtilities::detectModelURL(path, name);
        if (prewarm) {
            platform::ml::Model::prewarm(file);
        } else {
            models.push_back(platform::ml::Model::load(file));
        }
    }
    std::scoped_lock lock(mutex_);
    paths_.push_back(path);
    if (!prewarm) models_ = std::move(models);
}

void HubModelLoader::unload() noexcept {
    ++unloads;
    std::scoped_lock lock(mutex_);
    models_.clear();
}

std::vector<std::string> HubModelLoader::loadedPaths() const {
    std::scoped_lock lock(mutex_);
    return paths_;
}

size_t HubModelLoader::loadedModels() const {
    std::scoped_lock lock(mutex_);
    return models_.size();
}

}  // namespace managertest
