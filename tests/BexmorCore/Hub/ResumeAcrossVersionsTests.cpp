// A file that changes on the hub between a dropped connection and its ranged retry must
// never end up as the old bytes followed by the new ones.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "BexmorCore/External/Hub/HubFileDownloader.h"
#include "HubTestFixture.h"
#include "support/TestHttpServer.h"

namespace {

using bexmor::HubApi;
using testsupport::HttpRequest;
using testsupport::HttpResponder;

// Two versions of one file, larger than a flush and of equal size, whose etags are no
// SHA-256 (so no content check can catch a mix). The first GET sends 12 MiB of the old
// version and drops; from then on the server has the new one.
struct ChangingFile {
    const std::string oldContent = hubtest::makeContent(15 << 20, 1);
    const std::string newContent = hubtest::makeContent(15 << 20, 2);
    bool honoursIfRange = false;
    std::mutex mutex;
    std::vector<std::string> ifRanges;  // of the ranged GETs
    int gets = 0;

    void serve(const HttpRequest& request, HttpResponder& responder) {
        std::map<std::string, std::string> headers{{"X-Repo-Commit", std::string(40, 'c')}};
        if (request.method == "HEAD") {
            headers["ETag"] = "\"v1\"";
            headers["Content-Length"] = std::to_string(oldContent.size());
            return responder.writeHead(200, headers);
        }
        int number = 0;
        {
            std::scoped_lock lock(mutex);
            number = ++gets;
            if (!request.header("range").empty()) ifRanges.push_back(request.header("if-range"));
        }
        const bool first = number == 1;
        const std::string& content = first ? oldContent : newContent;
        headers["ETag"] = first ? "\"v1\"" : "\"v2\"";
        std::size_t start = 0;
        const std::string range = request.header("range");
        const bool rangeApplies = !range.empty() && !(honoursIfRange && request.header("if-range") != "\"v2\"");
        if (rangeApplies) {
            start = std::stoul(range.substr(6));
            headers["Content-Range"] = "bytes " + std::to_string(start) + "-" + std::to_string(content.size() - 1) + "/" +
                                       std::to_string(content.size());
        }
        headers["Content-Length"] = std::to_string(content.size() - start);
        responder.writeHead(rangeApplies ? 206 : 200, headers);
        const std::size_t end = first ? std::size_t(12 << 20) : content.size();
        for (std::size_t at = start; at < end; at += 1 << 16) {
            if (!responder.writeBody(content.substr(at, std::min<std::size_t>(1 << 16, end - at)))) return;
        }
        if (first) responder.drop();
    }
};

TEST(ResumeAcrossVersions, AChangedFileIsFetchedWholeNeverMixed) {
    for (const bool honours : {false, true}) {
        ChangingFile file;
        file.honoursIfRange = honours;
        testsupport::TestHttpServer server([&](const HttpRequest& r, HttpResponder& w) { file.serve(r, w); });
        testsupport::TempDir base;
        const HubApi hub(base.path(), std::string(), server.baseUrl(), false, false);
        const HubApi::Repo repo{"o/n", HubApi::RepoType::models};
        const auto folder = hub.repoDestination(repo);
        HubApi::HubFileDownloader download{hub, repo, "main", folder, HubApi::metadataFolder(folder), "w.bin",
                                           hub.hfToken, hub.endpoint, false};
        download.retryDelay = std::chrono::milliseconds(10);

        const auto path = download.download({});

        const std::string result = hubtest::readFile(path);
        EXPECT_TRUE(result == file.newContent || result == file.oldContent)
            << "honours If-Range: " << honours << ", a file of two versions";
        std::scoped_lock lock(file.mutex);
        ASSERT_FALSE(file.ifRanges.empty());
        // The retry names the version it continues.
        EXPECT_EQ(file.ifRanges.front(), "\"v1\"");
    }
}

}  // namespace
