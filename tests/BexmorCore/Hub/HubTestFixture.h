#pragma once

// What the hub tests share: a fake hub with an empty cache folder, file and error helpers,
// and guards for the environment and the network monitor's probe.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>

#include "BexmorCore/External/Hub/HubApi.h"
#include "BexmorCore/External/Hub/NetworkMonitor.h"
#include "support/FakeHub.h"
#include "support/TempDir.h"
#include "support/Thrown.h"

namespace hubtest {

using testsupport::FakeFile;
using testsupport::makeContent;
using testsupport::readFile;
using testsupport::sha256;
constexpr int64_t MiB = 1024 * 1024;

inline void writeFile(const std::filesystem::path& path, const std::string& content) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

// The error the call throws; the test fails with an exception when it throws none.
template <typename Error, typename Call>
Error capture(Call&& call) {
    try {
        call();
    } catch (const Error& error) {
        return error;
    }
    throw std::runtime_error("the expected error was not thrown");
}

using testsupport::messageOf;

// Sets environment variables for one test (null removes one) and puts the old values back.
class Environment {
public:
    void set(const char* name, const char* value) {
        if (!saved_.count(name)) saved_[name] = std::getenv(name) ? std::optional<std::string>(std::getenv(name)) : std::nullopt;
        value ? ::setenv(name, value, 1) : ::unsetenv(name);
    }
    ~Environment() {
        for (const auto& [name, value] : saved_) value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
    }

private:
    std::map<std::string, std::optional<std::string>> saved_;
};

// While it lives, the shared network monitor reports this connectivity instead of the
// machine's interfaces.
struct NetworkProbe {
    explicit NetworkProbe(bool connected) {
        bexmor::NetworkMonitor::shared().setConnectivityProbe([connected] { return connected; });
    }
    ~NetworkProbe() { bexmor::NetworkMonitor::shared().setConnectivityProbe({}); }
};

// A fake hub, an empty cache folder and the repository "o/n". The cache paths are written
// out literally, so the tests pin the layout down rather than repeat the code.
class HubTest : public ::testing::Test {
protected:
    // No token unless one is given, so the environment never adds one.
    bexmor::HubApi client(std::optional<bool> offline = false, std::string token = {}) const {
        return bexmor::HubApi(base.path(), std::move(token), fake.endpoint(), false, offline);
    }
    std::filesystem::path repoFolder() const { return base.path() / "models/o/n"; }
    std::filesystem::path recordsFolder() const { return repoFolder() / ".cache/modelhub/download"; }

    testsupport::FakeHub fake;
    testsupport::TempDir base;
    const bexmor::HubApi::Repo repo{"o/n", bexmor::HubApi::RepoType::models};
};

}  // namespace hubtest
