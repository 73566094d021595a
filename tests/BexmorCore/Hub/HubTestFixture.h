#pragma once

// What the hub tests share: file and error helpers, guards for the environment and the
// network monitor's probe, and
// the fixture most of them stand on (a fake hub, an empty cache folder and the layout of
// the repository "o/n" in it).

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>

#include "BexmorCore/External/Hub/HubApi.h"
#include "BexmorCore/External/Hub/NetworkMonitor.h"
#include "support/FakeHub.h"
#include "support/TempDir.h"

namespace hubtest {

using testsupport::FakeFile;
using testsupport::FakeHub;
using testsupport::makeContent;
using testsupport::readFile;
using testsupport::sha256;

// Writes the bytes, creating the folders on the way.
inline void writeFile(const std::filesystem::path& path, const std::string& content) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

// The error the call throws; a test fails (with an exception) when it throws none.
template <typename Error, typename Call>
Error capture(Call&& call) {
    try {
        call();
    } catch (const Error& error) {
        return error;
    }
    throw std::runtime_error("the expected error was not thrown");
}

// Sets environment variables for one test and puts the old values back.
class Environment {
public:
    Environment() = default;
    Environment(const Environment&) = delete;
    Environment& operator=(const Environment&) = delete;
    // A null value removes the variable.
    void set(const char* name, const char* value) {
        remember(name);
        if (value) ::setenv(name, value, 1);
        else ::unsetenv(name);
    }
    ~Environment() {
        for (const auto& [name, value] : saved_) {
            if (value) ::setenv(name.c_str(), value->c_str(), 1);
            else ::unsetenv(name.c_str());
        }
    }

private:
    void remember(const char* name) {
        if (saved_.count(name)) return;
        const char* old = std::getenv(name);
        saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    }
    std::map<std::string, std::optional<std::string>> saved_;
};

// While it lives, the shared network monitor reports this connectivity instead of the test
// machine's interfaces; the real probe is back afterwards, also when the test fails.
class NetworkProbe {
public:
    explicit NetworkProbe(bool connected) {
        bexmor::NetworkMonitor::shared().setConnectivityProbe([connected] { return connected; });
    }
    ~NetworkProbe() { bexmor::NetworkMonitor::shared().setConnectivityProbe({}); }
    NetworkProbe(const NetworkProbe&) = delete;
    NetworkProbe& operator=(const NetworkProbe&) = delete;
};

// A fake hub, an empty cache folder, and the repository "o/n". The cache paths are
// written out literally, so the tests pin the layout down rather than repeat the code.
class HubTest : public ::testing::Test {
protected:
    // A client of the fake hub with this cache folder; no token unless one is given, so the
    // environment never adds one.
    bexmor::HubApi client(std::optional<bool> offline = false, std::string token = {}) const {
        return bexmor::HubApi(base.path(), std::move(token), fake.endpoint(), false, offline);
    }
    std::filesystem::path repoFolder() const { return base.path() / "models/o/n"; }
    std::filesystem::path recordsFolder() const { return repoFolder() / ".cache/huggingface/download"; }

    FakeHub fake;
    testsupport::TempDir base;
    const bexmor::HubApi::Repo repo{"o/n", bexmor::HubApi::RepoType::models};
};

}  // namespace hubtest
