#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "BexmorCore/External/Hub/NetworkMonitor.h"
#include "BexmorCore/Logging.h"
#include "BexmorCore/ModelDownloader.h"
#include "TinyModels.h"
#include "support/FakeHub.h"
#include "support/TempDir.h"

namespace managertest {

using testsupport::readFile;

inline constexpr const char* kRepo = "korvu/darivir-models";
inline constexpr const char* kVariantPath = "darivir/v1/tiny";

// A loopback hub serving one tiny model variant at darivir/v1/tiny of kRepo, an empty
// hub cache in a temporary folder, the network reported as up, and every log line kept.
class ManagerFixture : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        models_ = std::make_unique<testsupport::TempDir>();
        writeTinyModel(models_->path() / "tiny", 1);
        writeTinyModel(models_->path() / "other", 2);
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

    static std::filesystem::path tinyModel() { return models_->path() / "tiny"; }
    static std::filesystem::path otherModel() { return models_->path() / "other"; }

    std::filesystem::path cacheBase() const { return temp.path() / "cache"; }
    std::filesystem::path repoFolder() const { return cacheBase() / "models" / kRepo; }

    bexmor::ModelDownloadConfig config(std::optional<std::string> modelFolder = std::nullopt) const {
        return bexmor::ModelDownloadConfig(cacheBase().string(), kRepo, std::string(), std::move(modelFolder), false,
                                           hub.endpoint(), "main");
    }
    std::shared_ptr<bexmor::ModelDownloader> downloader(std::optional<std::string> modelFolder = std::nullopt) const {
        return std::make_shared<bexmor::ModelDownloader>(config(std::move(modelFolder)));
    }

    // The network goes away: the monitor reports no interface and the hub stops answering.
    void loseNetwork() {
        networkUp = false;
        hub.stop();
    }

    bool logged(const std::string& text) {
        std::scoped_lock lock(logMutex);
        for (const auto& line : logLines) {
            if (line.find(text) != std::string::npos) return true;
        }
        return false;
    }
    std::vector<std::string> lines() {
        std::scoped_lock lock(logMutex);
        return logLines;
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
