#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "BexmorCore/External/Hub/HubFileDownloader.h"
#include "HubTestFixture.h"

namespace {

using bexmor::EnvironmentError;
using bexmor::HubApi;
using bexmor::HubClientError;
using bexmor::UrlError;
using hubtest::FakeFile;
using hubtest::readFile;
using hubtest::writeFile;

class FileDownload : public hubtest::HubTest {
protected:
    HubApi::HubFileDownloader downloader(const std::string& name, const std::string& repoId = "o/n",
                                         HubApi::RepoType type = HubApi::RepoType::models, const std::string& revision = "main") {
        const HubApi hub = client(std::nullopt, "tok");
        const HubApi::Repo fileRepo{repoId, type};
        const auto folder = hub.repoDestination(fileRepo);
        HubApi::HubFileDownloader file{hub, fileRepo, revision, folder, HubApi::metadataFolder(folder), name, hub.hfToken, hub.endpoint, false};
        file.retryDelay = std::chrono::milliseconds(10);
        return file;
    }
};

TEST_F(FileDownload, SourceUrlEscapesTheRevisionAndNamesTheRepositoryKind) {
    auto dataset = downloader("sub/data file.json", "owner/name", HubApi::RepoType::datasets, "refs/pr/1");
    EXPECT_EQ(dataset.source(), fake.endpoint() + "/datasets/owner/name/resolve/refs%2Fpr%2F1/sub/data%20file.json");
    EXPECT_EQ(downloader("a.bin").source(), fake.endpoint() + "/o/n/resolve/main/a.bin");
    EXPECT_EQ(downloader("a.bin", "o/n", HubApi::RepoType::spaces).source(), fake.endpoint() + "/spaces/o/n/resolve/main/a.bin");
}

TEST_F(FileDownload, FetchesANestedFileAndWritesItsRecordAndRemovesOldPartials) {
    const std::string content = hubtest::makeContent(2000, 1);
    fake.addFile("o/n", "a/b/c.bin", FakeFile{.content = content});
    writeFile(recordsFolder() / "a/b/c.bin.oldetag.incomplete", "stale bytes of an earlier version");
    writeFile(recordsFolder() / "a/b/c.bin.x.incomplete.keep", "not a partial of ours");
    writeFile(recordsFolder() / "a/b/other.bin.e.incomplete", "another file's partial");

    std::vector<double> reports;
    const auto result = downloader("a/b/c.bin").download([&](double fraction, std::optional<double>) { reports.push_back(fraction); });

    EXPECT_EQ(result, repoFolder() / "a/b/c.bin");
    EXPECT_EQ(readFile(result), content);
    EXPECT_TRUE(readFile(recordsFolder() / "a/b/c.bin.metadata").starts_with(std::string(40, 'c') + "\n" + hubtest::sha256(content) + "\n"));
    EXPECT_EQ(reports, std::vector<double>{0});
    EXPECT_FALSE(std::filesystem::exists(recordsFolder() / "a/b/c.bin.oldetag.incomplete"));
    EXPECT_TRUE(std::filesystem::exists(recordsFolder() / "a/b/c.bin.x.incomplete.keep"));
    EXPECT_TRUE(std::filesystem::exists(recordsFolder() / "a/b/other.bin.e.incomplete"));
    EXPECT_EQ(fake.requests().back().header("authorization"), "Bearer tok");
}

TEST_F(FileDownload, CurrentByCommitCostsOneHeadEvenWithoutASize) {
    fake.addFile("o/n", "f.bin", FakeFile{.content = "new content", .sizeHeader = ""});
    writeFile(repoFolder() / "f.bin", "cached");
    writeFile(recordsFolder() / "f.bin.metadata", std::string(40, 'c') + "\nwhatever\n1.0\n");
    EXPECT_EQ(downloader("f.bin").download(), repoFolder() / "f.bin");
    EXPECT_EQ(readFile(repoFolder() / "f.bin"), "cached");
    EXPECT_EQ(readFile(recordsFolder() / "f.bin.metadata"), std::string(40, 'c') + "\nwhatever\n1.0\n");
    EXPECT_EQ(fake.requests().size(), 1u);
    EXPECT_EQ(fake.requests().front().method, "HEAD");
}

TEST_F(FileDownload, MissingRemoteFactsFailAndOddCommitsSkipTheCommitShortcut) {
    fake.addFile("o/n", "f.bin", FakeFile{.content = "x", .sendCommit = false});
    try {
        downloader("f.bin").download();
        FAIL();
    } catch (const EnvironmentError& error) {
        EXPECT_STREQ(error.what(), "Invalid metadata: File metadata must have been retrieved from server");
    }
    // An upper-case or 41-digit commit is no commit hash: with no size the shortcut would
    // have been the only way to succeed.
    for (const std::string& commit : {std::string(40, 'C'), std::string(41, 'c')}) {
        fake.addFile("o/n", "g.bin", FakeFile{.content = "x", .commit = commit, .sizeHeader = ""});
        writeFile(repoFolder() / "g.bin", "x");
        writeFile(recordsFolder() / "g.bin.metadata", commit + "\ne\n1.0\n");
        EXPECT_THROW(downloader("g.bin").download(), EnvironmentError) << commit;
    }
}

TEST_F(FileDownload, ShaEtagMatchingTheCachedContentWritesARecordWithoutTransfer) {
    const std::string content = "model weights";
    fake.addFile("o/n", "w.bin", FakeFile{.content = content});
    writeFile(repoFolder() / "w.bin", content);
    downloader("w.bin").download();
    EXPECT_EQ(fake.count("GET", "/resolve/"), 0);
    EXPECT_TRUE(readFile(recordsFolder() / "w.bin.metadata").starts_with(std::string(40, 'c') + "\n" + hubtest::sha256(content)));
}

TEST_F(FileDownload, SameEtagNewCommitRewritesTheRecordOnly) {
    fake.addFile("o/n", "e.bin", FakeFile{.content = "abc", .commit = std::string(40, 'd'), .etag = "blobid"});
    writeFile(repoFolder() / "e.bin", "abc");
    writeFile(recordsFolder() / "e.bin.metadata", std::string(40, 'c') + "\nblobid\n1.0\n");
    downloader("e.bin").download();
    EXPECT_EQ(fake.count("GET", "/resolve/"), 0);
    EXPECT_TRUE(readFile(recordsFolder() / "e.bin.metadata").starts_with(std::string(40, 'd') + "\nblobid\n"));
}

TEST_F(FileDownload, ChangedEtagReplacesTheFile) {
    fake.addFile("o/n", "e.bin", FakeFile{.content = "new", .etag = "blob2"});
    writeFile(repoFolder() / "e.bin", "old");
    writeFile(recordsFolder() / "e.bin.metadata", std::string(40, 'b') + "\nblob1\n1.0\n");
    downloader("e.bin").download();
    EXPECT_EQ(readFile(repoFolder() / "e.bin"), "new");
    EXPECT_EQ(fake.count("GET", "/resolve/"), 1);
}

TEST_F(FileDownload, ARecordWithoutTheFileIsNotEnough) {
    fake.addFile("o/n", "gone.bin", FakeFile{.content = "data", .etag = "blob"});
    writeFile(recordsFolder() / "gone.bin.metadata", std::string(40, 'c') + "\nblob\n1.0\n");
    downloader("gone.bin").download();
    EXPECT_EQ(readFile(repoFolder() / "gone.bin"), "data");
}

TEST_F(FileDownload, ResumesAPartialFileOfTheSameEtag) {
    const std::string content = hubtest::makeContent(3000, 2);
    fake.addFile("o/n", "p.bin", FakeFile{.content = content});
    writeFile(recordsFolder() / ("p.bin." + hubtest::sha256(content) + ".incomplete"), content.substr(0, 1000));
    downloader("p.bin").download();
    EXPECT_EQ(fake.requests().back().header("range"), "bytes=1000-");
    EXPECT_EQ(readFile(repoFolder() / "p.bin"), content);
}

TEST_F(FileDownload, CorruptContentUnderAShaEtagIsNeverRecorded) {
    FakeFile file{.content = "evil bytes"};
    file.etag = hubtest::sha256("good bytes");
    fake.addFile("o/n", "s.bin", file);
    try {
        downloader("s.bin").download();
        FAIL();
    } catch (const EnvironmentError& error) {
        EXPECT_EQ(error.kind(), EnvironmentError::Case::fileIntegrityError);
    }
    EXPECT_FALSE(std::filesystem::exists(repoFolder() / "s.bin"));
    EXPECT_FALSE(std::filesystem::exists(recordsFolder() / "s.bin.metadata"));
    EXPECT_FALSE(std::filesystem::exists(recordsFolder() / ("s.bin." + file.etag + ".incomplete")));
}

TEST_F(FileDownload, HostileNamesAndEtagsNeverBecomePaths) {
    fake.addFile("o/n", "ok.bin", FakeFile{.content = "x", .etag = "../../../../escape"});
    EXPECT_THROW(downloader("ok.bin").download(), EnvironmentError);
    fake.addFile("o/n", "ok2.bin", FakeFile{.content = "x", .etag = ".hidden"});
    EXPECT_THROW(downloader("ok2.bin").download(), EnvironmentError);
    EXPECT_THROW(downloader("../x.bin").download(), HubClientError);
    EXPECT_THROW(downloader(".cache/huggingface/download/y.metadata").download(), HubClientError);
    EXPECT_FALSE(std::filesystem::exists(base.path() / "models"));
    EXPECT_EQ(fake.count("HEAD", "x.bin"), 0);
}

TEST_F(FileDownload, AnOddEtagStillFindsACurrentFileByItsRecord) {
    // An etag that may not stand in a file name is only refused where it would become one.
    fake.addFile("o/n", "odd.bin", FakeFile{.content = "x", .commit = std::string(40, 'd'), .etag = "abc:1/2+3="});
    writeFile(repoFolder() / "odd.bin", "x");
    writeFile(recordsFolder() / "odd.bin.metadata", std::string(40, 'c') + "\nabc:1/2+3=\n1.0\n");
    EXPECT_EQ(downloader("odd.bin").download(), repoFolder() / "odd.bin");
    EXPECT_TRUE(readFile(recordsFolder() / "odd.bin.metadata").starts_with(std::string(40, 'd') + "\nabc:1/2+3=\n"));
    EXPECT_EQ(fake.count("GET", "/resolve/"), 0);
}

TEST_F(FileDownload, CrossHostRedirectedTransferLeavesTheTokenBehind) {
    const std::string content = hubtest::makeContent(5000, 3);
    fake.addFile("o/n", "cdn.bin", FakeFile{.content = content, .redirect = "cross"});
    downloader("cdn.bin").download();
    EXPECT_EQ(readFile(repoFolder() / "cdn.bin"), content);
    ASSERT_EQ(fake.cdnRequests().size(), 1u);
    EXPECT_EQ(fake.cdnRequests().front().method, "GET");
    EXPECT_EQ(fake.cdnRequests().front().header("authorization"), "");
    for (const auto& request : fake.requests()) EXPECT_EQ(request.header("authorization"), "Bearer tok");
}

TEST_F(FileDownload, CancellingStopsTheTransferAndWritesNoRecord) {
    const std::string content = hubtest::makeContent(12 * 1024 * 1024, 4);
    fake.addFile("o/n", "c.bin", FakeFile{.content = content, .stallAfter = 10 * 1024 * 1024 + 10, .stallMilliseconds = 20000, .stallTimes = 1});
    std::stop_source stop;
    std::thread canceller;
    try {
        downloader("c.bin").download(
            [&](double fraction, std::optional<double>) {
                if (fraction > 0 && !canceller.joinable()) canceller = std::thread([&] { stop.request_stop(); });
            },
            stop.get_token());
        FAIL();
    } catch (const UrlError& error) {
        EXPECT_EQ(error.code(), UrlError::Code::cancelled);
    }
    canceller.join();
    EXPECT_FALSE(std::filesystem::exists(recordsFolder() / "c.bin.metadata"));
    EXPECT_EQ(std::filesystem::file_size(recordsFolder() / ("c.bin." + hubtest::sha256(content) + ".incomplete")), 10u * 1024 * 1024);
}

}  // namespace
