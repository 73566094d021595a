// A download process killed with SIGKILL mid-file leaves whole flushes only, and the next
// process resumes from there to a byte-identical file, also from a file host that names
// the file its own way. A file that changes on the hub
// between a dropped connection and its retry never ends up as old bytes followed by new.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <mutex>

#include "HubTestFixture.h"
#include "support/TestHttpServer.h"
#include "support/Wait.h"
#include "TestPaths.h"

extern char** environ;

namespace {

using hubtest::FakeFile;
using hubtest::makeContent;
using hubtest::MiB;
using hubtest::readFile;
using testsupport::HttpRequest;
using testsupport::HttpResponder;

// Starts the download helper on the repository "o/n".
pid_t startHelper(std::string endpoint, std::string base) {
    std::string program = std::string(testsupport::kBinDir) + "/hub_download_helper", repo = "o/n";
    char* argv[] = {program.data(), endpoint.data(), base.data(), repo.data(), nullptr};
    pid_t pid = -1;
    return ::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ) == 0 ? pid : -1;
}

int waitFor(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
}

using KillResume = hubtest::HubTest;

// Whether the hub sends the file itself or a file host behind its redirect does (which
// names the file by its own ETag), the next process asks only for the missing bytes.
TEST_F(KillResume, ADownloadKilledMidFileResumesToAByteIdenticalFile) {
    for (const bool redirected : {false, true}) {
        SCOPED_TRACE(redirected ? "from the file host" : "from the hub");
        const std::string name = redirected ? "hosted.bin" : "model.bin";
        const std::string content = makeContent(25 * MiB, redirected ? 12 : 11);
        // Over 20 MiB arrive quickly, then the server goes quiet: the process is killed there.
        fake.addFile("o/n", name, FakeFile{.content = content, .stallAfter = 21 * MiB, .stallMilliseconds = 30000, .stallTimes = 1,
                                           .redirect = redirected, .hostEtag = "host-tag"});
        const auto partial = recordsFolder() / (name + "." + hubtest::sha256(content) + ".incomplete");

        const pid_t first = startHelper(fake.endpoint(), base.path());
        ASSERT_GT(first, 0);
        ASSERT_TRUE(testsupport::waitUntil([&] {
            std::error_code error;
            return std::filesystem::file_size(partial, error) >= 20 * MiB && !error;
        })) << "the helper never flushed 20 MiB";
        ::kill(first, SIGKILL);
        const int killed = waitFor(first);
        ASSERT_TRUE(WIFSIGNALED(killed) && WTERMSIG(killed) == SIGKILL);
        const std::string left = readFile(partial);
        EXPECT_EQ(left.size(), size_t(20 * MiB));
        EXPECT_TRUE(left == content.substr(0, left.size()));
        EXPECT_FALSE(std::filesystem::exists(repoFolder() / name));
        EXPECT_FALSE(std::filesystem::exists(recordsFolder() / (name + ".metadata")));

        fake.clearRequests();
        const int finished = waitFor(startHelper(fake.endpoint(), base.path()));
        ASSERT_TRUE(WIFEXITED(finished) && WEXITSTATUS(finished) == 0);
        const auto transfers = redirected ? fake.cdnRequests() : fake.requests();
        ASSERT_FALSE(transfers.empty());
        const auto& resumed = transfers.back();
        EXPECT_EQ(resumed.header("range"), "bytes=20971520-");
        EXPECT_EQ(resumed.header("if-range"), redirected ? "\"host-tag\"" : "\"" + hubtest::sha256(content) + "\"");
        // The listing, a HEAD per file (the first file is current by then) and one GET at
        // the hub, the redirected one again at the file host: nothing is fetched twice.
        EXPECT_EQ(fake.requests().size(), redirected ? 4u : 3u);
        EXPECT_EQ(fake.cdnRequests().size(), redirected ? 1u : 0u);
        EXPECT_TRUE(readFile(repoFolder() / name) == content);
        EXPECT_FALSE(std::filesystem::exists(partial));
        EXPECT_FALSE(std::filesystem::exists(partial.string() + ".validator"));
        EXPECT_TRUE(std::filesystem::exists(recordsFolder() / (name + ".metadata")));
    }
}

// Two versions of one file of equal size whose etags are no SHA-256 (so no content check
// can catch a mix). The first GET sends 12 MiB of the old version and drops; from then on
// the server has the new one, and honours If-Range or not.
struct ChangingFile {
    const std::string versions[2] = {makeContent(15 * MiB, 1), makeContent(15 * MiB, 2)};
    bool honoursIfRange = false;
    std::mutex mutex;
    std::vector<std::string> ifRanges;  // of the ranged GETs
    int gets = 0;

    void serve(const HttpRequest& request, HttpResponder& responder) {
        if (request.path.starts_with("/api/")) return responder.respond(200, {}, R"({"siblings":[{"rfilename":"w.bin"}]})");
        const std::string range = request.header("range");
        int version = 0;  // of HEAD and the first GET
        {
            std::scoped_lock lock(mutex);
            version = request.method == "GET" && gets++ > 0;
            if (!range.empty()) ifRanges.push_back(request.header("if-range"));
        }
        const std::string& content = versions[version];
        std::map<std::string, std::string> headers{{"X-Repo-Commit", std::string(40, 'c')}, {"ETag", version ? "\"v2\"" : "\"v1\""}};
        const bool ranged = !range.empty() && !(honoursIfRange && request.header("if-range") != headers["ETag"]);
        const size_t start = ranged ? std::stoul(range.substr(6)) : 0;
        if (ranged) headers["Content-Range"] = "bytes " + std::to_string(start) + "-" + std::to_string(content.size() - 1) + "/" + std::to_string(content.size());
        headers["Content-Length"] = std::to_string(content.size() - start);
        responder.writeHead(ranged ? 206 : 200, headers);
        const size_t end = request.method == "HEAD" ? 0 : version ? content.size() : size_t(12 * MiB);
        for (size_t at = start; at < end; at += 1 << 16) {
            if (!responder.writeBody(content.substr(at, std::min<size_t>(1 << 16, end - at)))) return;
        }
        if (request.method == "GET" && !version) responder.drop();
    }
};

TEST(ResumeAcrossVersions, AChangedFileIsFetchedWholeNeverMixed) {
    for (const bool honours : {false, true}) {
        SCOPED_TRACE(honours ? "If-Range honoured" : "If-Range ignored");
        ChangingFile file;
        file.honoursIfRange = honours;
        testsupport::TestHttpServer server([&](const HttpRequest& r, HttpResponder& w) { file.serve(r, w); });
        testsupport::TempDir base;
        const bexmor::HubApi hub(base.path(), std::string(), server.baseUrl(), false, false);
        const std::string result = readFile(hub.snapshot({"o/n", bexmor::HubApi::RepoType::models}) / "w.bin");
        EXPECT_TRUE(result == file.versions[0] || result == file.versions[1]) << "a file of two versions";
        std::scoped_lock lock(file.mutex);
        ASSERT_FALSE(file.ifRanges.empty());
        EXPECT_EQ(file.ifRanges.front(), "\"v1\"") << "the retry names the version it continues";
    }
}

}  // namespace
