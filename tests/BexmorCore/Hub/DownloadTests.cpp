// One file's transfer (Downloader) and the cache decisions around it (HubFileDownloader).
#include <gtest/gtest.h>

#include "BexmorCore/External/Hub/Downloader.h"
#include "BexmorCore/External/Hub/HubErrors.h"
#include "BexmorCore/External/Hub/HubFileDownloader.h"
#include "HubTestFixture.h"
#include "support/TestHttpServer.h"

namespace {

using bexmor::Downloader;
using bexmor::EnvironmentError;
using bexmor::HubApi;
using bexmor::UrlError;
using hubtest::FakeFile;
using hubtest::makeContent;
using hubtest::MiB;
using hubtest::readFile;
using hubtest::sha256;
using hubtest::writeFile;
using State = Downloader::DownloadState;
using Kind = State::Kind;
namespace fs = std::filesystem;

enum class End { completed, unexpected, connectionLost, cannotConnect, cancelled, integrity, other };

End endOf(const State& state) {
    if (state.kind == Kind::completed) return End::completed;
    if (state.kind != Kind::failed) return End::other;
    try {
        std::rethrow_exception(state.error);
    } catch (const bexmor::DownloadError& error) {
        if (error.kind() == bexmor::DownloadError::Case::unexpectedError) return End::unexpected;
    } catch (const UrlError& error) {
        if (error.code() == UrlError::Code::connectionLost) return End::connectionLost;
        if (error.code() == UrlError::Code::cannotConnect) return End::cannotConnect;
        if (error.code() == UrlError::Code::cancelled) return End::cancelled;
    } catch (const bexmor::EnvironmentError& error) {
        if (error.kind() == bexmor::EnvironmentError::Case::fileIntegrityError) return End::integrity;
    } catch (...) {
    }
    return End::other;
}

class DownloaderTest : public hubtest::HubTest {
protected:
    std::string url(const std::string& name) const { return fake.endpoint() + "/o/n/resolve/main/" + name; }
    fs::path partial() const { return base / "file.incomplete"; }
    fs::path destination() const { return base / "out/file.bin"; }

    void start(const std::string& from, std::optional<int64_t> expected, int retries = 5, double timeout = 10,
               std::optional<std::string> token = {}, std::optional<std::string> sha = {}) {
        if (!fs::exists(partial())) std::ofstream(partial()).close();
        states.reset();
        downloader = std::make_unique<Downloader>(destination(), partial(), false, Downloader::kFlushSize);
        downloader->setExpectedSize(expected);
        downloader->setExpectedSha256(sha);
        downloader->setRetryDelay(std::chrono::milliseconds(10));
        states = downloader->broadcaster().subscribe();
        downloader->setUpDownload(from, token, Downloader::incompleteFileSize(partial()), std::nullopt, timeout, retries);
    }
    // Every state a subscriber sees until the transfer ends.
    std::vector<State> finish() {
        std::vector<State> seen;
        do seen.push_back(*states->next());
        while (seen.back().kind != Kind::completed && seen.back().kind != Kind::failed);
        return seen;
    }

    std::unique_ptr<Downloader> downloader;
    decltype(downloader->broadcaster().subscribe()) states;  // ends before its downloader
};

// Each row serves one file, with a partial file and a folder in the way on disk, and names
// how the transfer ends, the Range header of every request the hub saw (so retries are
// counted), the progress reports, and what is left in the partial file.
TEST_F(DownloaderTest, FaultsAndRecoveries) {
    testsupport::TestHttpServer misplaced([](const testsupport::HttpRequest&, testsupport::HttpResponder& responder) {
        responder.respond(206, {{"Content-Range", "bytes 0-9/10"}}, "0123456789");
    });
    const std::string dead = testsupport::TestHttpServer([](auto&, auto&) {}).baseUrl();
    enum class Left { nothing, before, content };
    struct Case {
        const char* name;
        FakeFile file;
        size_t partial = 0;     // bytes of the content already on disk...
        std::string extra;      // ...followed by these
        int64_t expected = -1;  // -1: the content's size, 0: unknown
        int retries = 5;
        double timeout = 10;
        std::optional<std::string> sha;
        std::string from;  // another URL than the hub's
        End end = End::completed;
        std::vector<std::string> ranges;
        std::vector<double> progress;  // unchecked when empty
        Left left = Left::nothing;
    };
    const std::string tenMiB = "bytes=10485760-";
    const Case cases[] = {
        {.name = "per flush", .file = {.content = makeContent(25 * MiB, 1)}, .ranges = {""}, .progress = {0, 0.4, 0.8}},
        {.name = "size unknown", .file = {.content = makeContent(12 * MiB, 2)}, .expected = 0, .ranges = {""}, .progress = {0}},
        {.name = "resume", .file = {.content = makeContent(4000, 3)}, .partial = 1000, .ranges = {"bytes=1000-"}, .progress = {0.25}},
        {.name = "drop after a flush, which restores the retries", .file = {.content = makeContent(15 * MiB, 4), .dropAfter = 12 * MiB,
         .dropTimes = 1}, .retries = 0, .ranges = {"", tenMiB}},
        {.name = "drop after the head", .file = {.content = makeContent(5000, 5), .dropAfter = 0, .dropTimes = 1}, .retries = 1, .ranges = {"", ""}},
        {.name = "drop before a flush", .file = {.content = makeContent(MiB, 5), .dropAfter = 1000, .dropTimes = 1}, .retries = 0,
         .end = End::connectionLost, .ranges = {""}, .left = Left::before},
        {.name = "stall beyond the idle limit", .file = {.content = makeContent(11 * MiB, 6), .stallAfter = 10 * MiB + 5,
         .stallMilliseconds = 8000, .stallTimes = 1}, .timeout = 1, .ranges = {"", tenMiB}},
        {.name = "range ignored", .file = {.content = makeContent(5000, 6), .ignoreRange = true}, .partial = 1000, .ranges = {"bytes=1000-"}},
        {.name = "partial already whole", .file = {.content = makeContent(3000, 7)}, .partial = 3000, .ranges = {}},
        {.name = "partial too long", .file = {.content = makeContent(3000, 7)}, .partial = 3000, .extra = "x", .ranges = {""}, .progress = {0}},
        {.name = "404", .file = {.content = "abc", .status = 404}, .end = End::unexpected, .ranges = {""}, .left = Left::before},
        {.name = "416", .file = {.content = "abc", .status = 416}, .end = End::unexpected, .ranges = {""}, .left = Left::before},
        {.name = "500", .file = {.content = "abc", .status = 500}, .end = End::unexpected, .ranges = {""}, .left = Left::before},
        {.name = "shorter than expected", .file = {.content = "0123456789"}, .expected = 20, .end = End::unexpected, .ranges = {""},
         .left = Left::content},
        {.name = "longer than expected", .file = {.content = makeContent(25 * MiB, 8)}, .expected = MiB, .end = End::unexpected, .ranges = {""}},
        {.name = "wrong hash", .file = {.content = "tampered"}, .sha = sha256("original"), .end = End::integrity, .ranges = {""}},
        {.name = "piece that does not continue the file", .file = {.content = "0123456789"}, .partial = 5, .from = misplaced.baseUrl() + "/f",
         .end = End::unexpected, .left = Left::before},
        {.name = "nobody listening", .file = {.content = "x"}, .from = dead + "/x", .end = End::cannotConnect, .left = Left::before},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        const std::string name = "f" + std::to_string(i);
        fake.addFile("o/n", name, c.file);
        fake.clearRequests();
        fs::remove_all(destination());
        fs::create_directories(destination());  // replaced only by a whole file
        const std::string before = c.file.content.substr(0, c.partial) + c.extra;
        writeFile(partial(), before);
        const int64_t size = c.expected < 0 ? int64_t(c.file.content.size()) : c.expected;
        start(c.from.empty() ? url(name) : c.from, size ? std::optional(size) : std::nullopt,
              c.retries, c.timeout, "tok", c.sha);
        const auto seen = finish();

        EXPECT_EQ(seen.front().kind, Kind::notStarted);
        EXPECT_EQ(endOf(seen.back()), c.end);
        EXPECT_EQ(endOf(*downloader->broadcaster().subscribe()->next()), c.end) << "a late subscriber sees the end";
        std::vector<std::string> ranges;
        for (const auto& request : fake.requests()) {
            ranges.push_back(request.header("range"));
            EXPECT_EQ(request.header("authorization"), "Bearer tok");
        }
        EXPECT_EQ(ranges, c.ranges);
        std::vector<double> progress;
        for (const auto& state : seen) {
            if (state.kind != Kind::downloading) continue;
            EXPECT_TRUE(state.progress >= 0 && state.progress <= 1) << state.progress;
            EXPECT_EQ(state.speed.has_value(), !progress.empty()) << "speed is measured between reports";
            progress.push_back(state.progress);
        }
        if (!c.progress.empty()) { EXPECT_EQ(progress, c.progress); }
        const bool completed = c.end == End::completed;
        EXPECT_EQ(fs::is_regular_file(destination()), completed);
        EXPECT_EQ(seen.back().destination, completed ? destination() : fs::path());
        EXPECT_TRUE(!completed || readFile(destination()) == c.file.content);
        EXPECT_EQ(fs::exists(partial()), c.left != Left::nothing);
        EXPECT_TRUE(readFile(partial()) == (c.left == Left::before ? before : c.left == Left::content ? c.file.content : ""));
    }
}

TEST_F(DownloaderTest, TheChunkSizeIsTheFlushSize) {
    const std::string content = makeContent(2500, 10);
    fake.addFile("o/n", "small.bin", FakeFile{.content = content});
    std::ofstream(partial()).close();
    downloader = std::make_unique<Downloader>(destination(), partial(), false, 1000);
    downloader->setExpectedSize(2500);
    states = downloader->broadcaster().subscribe();
    downloader->setUpDownload(url("small.bin"), std::nullopt, 0, std::nullopt, 10, 0);
    std::vector<double> progress;
    for (const auto& state : finish())
        if (state.kind == Kind::downloading) progress.push_back(state.progress);
    EXPECT_EQ(progress, (std::vector<double>{0, 0.4, 0.8}));
    EXPECT_EQ(readFile(destination()), content);
}

TEST_F(DownloaderTest, CancelAnnouncesAtOnceAndKeepsTheFlushedBytes) {
    const std::string content = makeContent(30 * MiB, 9);
    // A little over 10 MiB, then the server goes quiet: the cancel lands mid-transfer.
    fake.addFile("o/n", "slow.bin",
                 FakeFile{.content = content, .stallAfter = 10 * MiB + 100, .stallMilliseconds = 20000, .stallTimes = 1});
    start(url("slow.bin"), 30 * MiB, 0);
    while (states->next()->progress == 0) {
    }
    downloader->cancel();
    EXPECT_EQ(endOf(*states->next()), End::cancelled);
    states.reset();
    downloader.reset();  // stops and joins the transfer
    const std::string kept = readFile(partial());
    EXPECT_EQ(kept.size(), size_t(10 * MiB));
    EXPECT_TRUE(kept == content.substr(0, kept.size()));
    EXPECT_FALSE(fs::exists(destination()));
}

class FileDownload : public hubtest::HubTest {
protected:
    HubApi::HubFileDownloader downloader(const std::string& name, HubApi::RepoType type = HubApi::RepoType::models,
                                         const std::string& revision = "main") {
        const HubApi hub = client(std::nullopt, "tok");
        const HubApi::Repo fileRepo{"o/n", type};
        const auto folder = hub.repoDestination(fileRepo);
        HubApi::HubFileDownloader file{hub, fileRepo, revision, folder, HubApi::metadataFolder(folder), name, hub.hubToken, hub.endpoint, false};
        file.retryDelay = std::chrono::milliseconds(10);
        return file;
    }
};

TEST_F(FileDownload, FetchesANestedFileWithItsRecordAndRemovesOnlyItsOwnOldPartials) {
    EXPECT_EQ(downloader("sub/a file.json", HubApi::RepoType::datasets, "refs/pr/1").source(),
              fake.endpoint() + "/datasets/o/n/resolve/refs%2Fpr%2F1/sub/a%20file.json");
    const std::string content = hubtest::makeContent(2000, 1);
    fake.addFile("o/n", "a/b/c.bin", FakeFile{.content = content});
    writeFile(recordsFolder() / "a/b/c.bin.oldetag.incomplete", "stale bytes of an earlier version");
    writeFile(recordsFolder() / "a/b/c.bin.oldetag.incomplete.validator", "oldetag\nhost-etag\n");
    writeFile(recordsFolder() / "a/b/c.bin.x.incomplete.keep", "not a partial of ours");
    writeFile(recordsFolder() / "a/b/other.bin.e.incomplete", "another file's partial");

    const auto result = downloader("a/b/c.bin").download();

    EXPECT_EQ(result, repoFolder() / "a/b/c.bin");
    EXPECT_EQ(readFile(result), content);
    EXPECT_TRUE(readFile(recordsFolder() / "a/b/c.bin.metadata").starts_with(std::string(40, 'c') + "\n" + sha256(content) + "\n"));
    EXPECT_FALSE(fs::exists(recordsFolder() / "a/b/c.bin.oldetag.incomplete"));
    EXPECT_FALSE(fs::exists(recordsFolder() / "a/b/c.bin.oldetag.incomplete.validator"));
    EXPECT_TRUE(fs::exists(recordsFolder() / "a/b/c.bin.x.incomplete.keep"));
    EXPECT_TRUE(fs::exists(recordsFolder() / "a/b/other.bin.e.incomplete"));
}

// What a cached file, its record and the hub's answer to HEAD make of one download: how
// many transfers, what file and record are left. A failure changes nothing.
TEST_F(FileDownload, CacheDecisions) {
    const std::string c40(40, 'c'), d40(40, 'd');
    struct Case {
        const char* name;
        FakeFile remote;
        std::optional<std::string> cached;
        std::string record;  // empty: none
        int transfers;
        std::optional<std::string> fileAfter;  // default: the remote content
        std::string recordAfter;               // its start; default: the record as it was
        bool fails = false;
    };
    const Case cases[] = {
        {"current by commit, no size sent", {.content = "new", .sizeHeader = ""}, "cached", c40 + "\nwhatever\n1.0\n", 0, "cached"},
        {"cache matches a SHA-256 etag", {.content = "weights"}, "weights", "", 0, {}, c40 + "\n" + sha256("weights") + "\n"},
        {"same etag, new commit", {.content = "abc", .commit = d40, .etag = "blobid"}, "abc", c40 + "\nblobid\n1.0\n", 0, {}, d40 + "\nblobid\n"},
        {"odd etag, found by its record", {.content = "x", .commit = d40, .etag = "a:1/2+3="}, "x", c40 + "\na:1/2+3=\n1.0\n", 0, {},
         d40 + "\na:1/2+3=\n"},
        {"changed etag", {.content = "new", .etag = "blob2"}, "old", std::string(40, 'b') + "\nblob1\n1.0\n", 1, {}, c40 + "\nblob2\n"},
        {"record without the file", {.content = "data", .etag = "blob"}, {}, c40 + "\nblob\n1.0\n", 1, {}, c40 + "\nblob\n"},
        {"no commit sent", {.content = "x", .sendCommit = false}, {}, "", 0, {}, "", true},
        {"upper-case commit", {.content = "x", .commit = std::string(40, 'C'), .sizeHeader = ""}, "x", std::string(40, 'C') + "\ne\n1.0\n", 0, {}, "", true},
        {"41-digit commit", {.content = "x", .commit = std::string(41, 'c'), .sizeHeader = ""}, "x", std::string(41, 'c') + "\ne\n1.0\n", 0, {}, "", true},
        {"content not matching its SHA-256 etag", {.content = "evil", .etag = sha256("good")}, {}, "", 1, {}, "", true},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        const std::string name = "f" + std::to_string(i) + ".bin";
        fake.addFile("o/n", name, c.remote);
        if (c.cached) writeFile(repoFolder() / name, *c.cached);
        if (!c.record.empty()) writeFile(recordsFolder() / (name + ".metadata"), c.record);
        fake.clearRequests();

        if (c.fails) {
            EXPECT_THROW(downloader(name).download(), EnvironmentError);
        } else {
            EXPECT_EQ(downloader(name).download(), repoFolder() / name);
        }
        EXPECT_EQ(fake.count("GET", "/resolve/"), c.transfers);
        const auto fileAfter = c.fails ? c.cached : c.fileAfter ? c.fileAfter : c.remote.content;
        EXPECT_EQ(fs::exists(repoFolder() / name), fileAfter.has_value());
        EXPECT_EQ(readFile(repoFolder() / name), fileAfter.value_or(""));
        const std::string record = readFile(recordsFolder() / (name + ".metadata"));
        EXPECT_TRUE(record.starts_with(c.recordAfter.empty() ? c.record : c.recordAfter)) << record;
        EXPECT_EQ(record.empty(), c.fails && c.record.empty());
        for (const auto& entry : fs::directory_iterator(recordsFolder())) EXPECT_NE(entry.path().extension(), ".incomplete");
    }
}

TEST_F(FileDownload, HostileNamesAndEtagsNeverBecomePaths) {
    fake.addFile("o/n", "ok.bin", FakeFile{.content = "x", .etag = "../../../../escape"});
    fake.addFile("o/n", "ok2.bin", FakeFile{.content = "x", .etag = ".hidden"});
    EXPECT_THROW(downloader("ok.bin").download(), EnvironmentError);
    EXPECT_THROW(downloader("ok2.bin").download(), EnvironmentError);
    EXPECT_THROW(downloader("../x.bin").download(), bexmor::HubClientError);
    EXPECT_THROW(downloader(".cache/modelhub/download/y.metadata").download(), bexmor::HubClientError);
    EXPECT_FALSE(fs::exists(base.path() / "models"));
    EXPECT_EQ(fake.count("HEAD", "x.bin"), 0);
}

// A download stopped in one run goes on in the next from the flushed bytes. The file host
// behind the hub's redirect names the file by its own ETag, never the hub's: the next run
// must ask it by that validator, so an unchanged file resumes and a changed one starts
// over whole, whether the host honours If-Range or not.
TEST_F(FileDownload, AResumeInALaterRunAsksTheFileHostForTheMissingBytesOnly) {
    struct Case {
        const char* name;
        bool hostIgnoresIfRange;
        bool changesBetweenRuns;
        std::vector<std::string> ranges;  // of the second run's requests to the file host
    };
    const std::string resumeRange = "bytes=" + std::to_string(10 * MiB) + "-";
    const Case cases[] = {
        {"unchanged, If-Range honoured", false, false, {resumeRange}},
        {"unchanged, If-Range ignored", true, false, {resumeRange}},
        {"changed, If-Range honoured", false, true, {resumeRange}},
        {"changed, If-Range ignored", true, true, {resumeRange, ""}},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        const std::string name = "run" + std::to_string(i) + ".bin";
        // Not a SHA-256 etag, so only the bytes themselves can show a mix of two versions.
        const std::string before = makeContent(15 * MiB, 20 + unsigned(i)), after = makeContent(15 * MiB, 40 + unsigned(i));
        fake.addFile("o/n", name, FakeFile{.content = before, .etag = "blob", .stallAfter = 10 * MiB + 100, .stallMilliseconds = 20000,
                                           .stallTimes = 1, .redirect = true, .hostEtag = "cdn-1", .hostIgnoresIfRange = c.hostIgnoresIfRange});
        const auto partial = recordsFolder() / (name + ".blob.incomplete");

        std::stop_source stop;
        EXPECT_THROW(downloader(name).download([&](double fraction, std::optional<double>) { if (fraction > 0) stop.request_stop(); },
                                               stop.get_token()),
                     UrlError);
        ASSERT_EQ(fs::file_size(partial), size_t(10 * MiB)) << "the first run keeps its flushed bytes";

        if (c.changesBetweenRuns) {
            fake.addFile("o/n", name, FakeFile{.content = after, .etag = "blob", .redirect = true, .hostEtag = "cdn-2",
                                               .hostIgnoresIfRange = c.hostIgnoresIfRange});
        }
        fake.clearRequests();
        EXPECT_EQ(downloader(name).download(), repoFolder() / name);

        EXPECT_TRUE(readFile(repoFolder() / name) == (c.changesBetweenRuns ? after : before)) << "the file is one version, whole";
        std::vector<std::string> ranges;
        for (const auto& request : fake.cdnRequests()) ranges.push_back(request.header("range"));
        EXPECT_EQ(ranges, c.ranges);
        ASSERT_FALSE(fake.cdnRequests().empty());
        EXPECT_EQ(fake.cdnRequests().front().header("if-range"), "\"cdn-1\"") << "the validator the file host gave";
        EXPECT_FALSE(fs::exists(partial));
        EXPECT_FALSE(fs::exists(partial.string() + ".validator")) << "the partial's record goes with it";
    }
}

// The hub answers HEAD with a redirect to another host; the transfer goes there, without
// the token, and the HEAD is not followed across.
TEST_F(FileDownload, CrossHostRedirectedTransferLeavesTheTokenBehind) {
    const std::string content = hubtest::makeContent(5000, 3);
    fake.addFile("o/n", "cdn.bin", FakeFile{.content = content, .redirect = true});
    downloader("cdn.bin").download();
    EXPECT_EQ(readFile(repoFolder() / "cdn.bin"), content);
    ASSERT_EQ(fake.cdnRequests().size(), 1u);
    EXPECT_EQ(fake.cdnRequests().front().method, "GET");
    EXPECT_EQ(fake.cdnRequests().front().header("authorization"), "");
    for (const auto& request : fake.requests()) EXPECT_EQ(request.header("authorization"), "Bearer tok");
}

}  // namespace
