#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

#include "HubTestFixture.h"
#include "support/Wait.h"
#include "TestPaths.h"

extern char** environ;

namespace {

using hubtest::FakeFile;
using hubtest::FakeHub;
using hubtest::readFile;

constexpr size_t MiB = 1024 * 1024;

pid_t startHelper(const std::string& endpoint, const std::filesystem::path& base) {
    const std::string program = std::string(testsupport::kBinDir) + "/hub_download_helper";
    std::vector<std::string> args{program, endpoint, base.string(), "o/n"};
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return -1;
    return pid;
}

int waitForExit(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
}

TEST(KillResume, ADownloadKilledMidFileResumesToAByteIdenticalFile) {
    FakeHub hub;
    const std::string content = hubtest::makeContent(25 * MiB, 11);
    // Over 20 MiB arrive quickly, then the server goes quiet: the process is killed there.
    hub.addFile("o/n", "model.bin", FakeFile{.content = content, .stallAfter = 21 * MiB, .stallMilliseconds = 30000, .stallTimes = 1});
    testsupport::TempDir base;
    const auto partial = base.path() / "models/o/n/.cache/huggingface/download" / ("model.bin." + hubtest::sha256(content) + ".incomplete");

    const pid_t first = startHelper(hub.endpoint(), base.path());
    ASSERT_GT(first, 0);
    ASSERT_TRUE(testsupport::waitUntil([&] {
        std::error_code error;
        return std::filesystem::file_size(partial, error) >= 20 * MiB && !error;
    })) << "the helper never flushed 20 MiB";
    ::kill(first, SIGKILL);
    const int killed = waitForExit(first);
    ASSERT_TRUE(WIFSIGNALED(killed));
    EXPECT_EQ(WTERMSIG(killed), SIGKILL);

    // What the killed process left: whole flushes only, all of them correct, no record.
    const std::string left = readFile(partial);
    EXPECT_EQ(left.size(), 20 * MiB);
    EXPECT_TRUE(left == content.substr(0, left.size()));
    EXPECT_FALSE(std::filesystem::exists(base.path() / "models/o/n/model.bin"));
    EXPECT_FALSE(std::filesystem::exists(base.path() / "models/o/n/.cache/huggingface/download/model.bin.metadata"));

    hub.clearRequests();
    const pid_t second = startHelper(hub.endpoint(), base.path());
    ASSERT_GT(second, 0);
    const int finished = waitForExit(second);
    ASSERT_TRUE(WIFEXITED(finished));
    ASSERT_EQ(WEXITSTATUS(finished), 0);

    std::string range;
    for (const auto& request : hub.requests()) {
        if (request.method == "GET" && request.path.find("/resolve/") != std::string::npos) range = request.header("range");
    }
    EXPECT_EQ(range, "bytes=20971520-");
    EXPECT_TRUE(readFile(base.path() / "models/o/n/model.bin") == content);
    EXPECT_FALSE(std::filesystem::exists(partial));
    EXPECT_TRUE(std::filesystem::exists(base.path() / "models/o/n/.cache/huggingface/download/model.bin.metadata"));
}

}  // namespace
