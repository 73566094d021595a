#pragma once

// The model manager's tests stand on a loopback hub serving one tiny model variant (written
// by the model tool), an empty hub cache, the network reported as up, every log line kept,
// and a loader as an engine would write one.

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "BexmorCore/External/Hub/NetworkMonitor.h"
#include "BexmorCore/Logging.h"
#include "BexmorCore/ModelDownloader.h"
#include "BexmorCore/ModelLoader.h"
#include "BexmorCore/ModelUtilities.h"
#include "Platform/ML/Model.h"
#include "TestPaths.h"
#include "support/FakeHub.h"
#include "support/TempDir.h"
#include "support/Thrown.h"
#include "support/Wait.h"

namespace managertest {

namespace fs = std::filesystem;
using testsupport::readFile;

inline constexpr const char* kRepo = "korvu/darivir-models";
inline constexpr const char* kVariantPath = "darivir/v1/tiny";
inline bexmor::ModelInfo tinyModelInfo() { return bexmor::ModelInfo("v1", "tiny", "darivir", platform::ml::ComputeUnits::cpuOnly); }

using testsupport::messageOf;

// A point a test holds callers at while it is closed; it counts who arrived.
struct Gate {
    std::atomic<bool> closed{false};
    std::atomic<int> arrivals{0};
    void arrive() {
        ++arrivals;
        testsupport::waitUntil([&] { return !closed; });
    }
    void waitForArrivals(int count) { ASSERT_TRUE(testsupport::waitUntil([&] { return arrivals >= count; })); }
};

// Resolves its model through the downloader (unless it names a folder) and loads the three
// models with the CPU runtime; counts its calls and can be held at a gate.
class HubModelLoader : public bexmor::ModelLoader {
public:
    explicit HubModelLoader(std::optional<std::string> folder = std::nullopt) : folder_(std::move(folder)) {}

    std::optional<std::string> modelFolder() const override { return folder_; }
    std::string resolveModels(const bexmor::ModelDownloader& downloader, const ProgressCallback& progress) override {
        ++resolves;
        resolveGate.arrive();
        return tinyModelInfo().modelURL(downloader.resolveRepo({tinyModelInfo().downloadPattern()}, std::nullopt, true, progress)).string();
    }
    void load(const std::string& path, bool prewarm) override {
        ++(prewarm ? prewarms : loads);
        loadGate.arrive();
        for (const char* name : {"MelSpectrogram", "TextDecoder", "AudioEncoder"}) {
            const fs::path file = bexmor::ModelUtilities::detectModelURL(path, name);
            prewarm ? platform::ml::Model::prewarm(file) : (void)platform::ml::Model::load(file);
        }
    }
    void unload() noexcept override { ++unloads; }

    std::atomic<int> resolves{0}, loads{0}, prewarms{0}, unloads{0};
    Gate resolveGate, loadGate;

private:
    std::optional<std::string> folder_;
};

class ManagerFixture : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        models_ = std::make_unique<testsupport::TempDir>();
        const std::string command = std::string(testsupport::kBinDir) + "/darivir-model tiny --out '" + tinyModel().string() +
                                    "' --seed 1 --width 16 --heads 2 --encoder-layers 1 --decoder-layers 1 --audio-ctx 10 > /dev/null";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }
    static void TearDownTestSuite() { models_.reset(); }

    void SetUp() override {
        hub.addFolder(kRepo, tinyModel(), kVariantPath);
        bexmor::NetworkMonitor::shared().setConnectivityProbe([this] { return networkUp.load(); });
        bexmor::Logging::updateLogLevel(bexmor::Logging::LogLevel::debug);
        bexmor::Logging::updateCallback([this](const std::string& line) {
            std::scoped_lock lock(logMutex);
            logLines.push_back(line);
        });
    }
    void TearDown() override {
        bexmor::Logging::updateCallback({});
        bexmor::Logging::updateLogLevel(bexmor::Logging::LogLevel::none);
        bexmor::NetworkMonitor::shared().setConnectivityProbe({});
    }

    static fs::path tinyModel() { return models_->path() / "tiny"; }
    fs::path cacheBase() const { return temp.path() / "cache"; }
    fs::path repoFolder() const { return cacheBase() / "models" / kRepo; }
    std::shared_ptr<bexmor::ModelDownloader> downloader(std::optional<std::string> modelFolder = std::nullopt) const {
        return std::make_shared<bexmor::ModelDownloader>(
            bexmor::ModelDownloadConfig(cacheBase().string(), kRepo, std::string(), std::move(modelFolder), false, hub.endpoint(), "main"));
    }
    // A local folder holding the tiny model.
    fs::path localModel() {
        fs::copy(tinyModel(), temp / "local", fs::copy_options::recursive);
        return temp / "local";
    }
    // The monitor reports no interface and the hub stops answering.
    void loseNetwork() {
        networkUp = false;
        hub.stop();
    }
    bool logged(const std::string& text) {
        std::scoped_lock lock(logMutex);
        return std::any_of(logLines.begin(), logLines.end(), [&](const auto& line) { return line.find(text) != std::string::npos; });
    }
    size_t logCount() {
        std::scoped_lock lock(logMutex);
        return logLines.size();
    }

    testsupport::TempDir temp;
    testsupport::FakeHub hub;
    std::atomic<bool> networkUp{true};
    std::mutex logMutex;
    std::vector<std::string> logLines;

private:
    static inline std::unique_ptr<testsupport::TempDir> models_;
};

}  // namespace managertest
